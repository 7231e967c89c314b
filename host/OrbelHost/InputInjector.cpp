#include "OrbelHost/InputInjector.h"

InputInjector::InputInjector(std::unique_ptr<EventPoster> poster)
    : poster_(std::move(poster))
{
}

void InputInjector::handle(const QJsonObject&)
{
    // Mouse, key, text and media-key translation arrive with the input work; until then the
    // message is only counted so routing can be observed.
    ++handled_;
}

void InputInjector::releaseAll()
{
    for (uint32_t key : std::as_const(heldKeys_))
        poster_->key(key, false);
    for (int button : std::as_const(heldButtons_))
        poster_->button(EventPoster::Button(button), false);
    heldKeys_.clear();
    heldButtons_.clear();
}
