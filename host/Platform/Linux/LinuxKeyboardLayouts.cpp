#include "Platform/Linux/LinuxKeyboardLayouts.h"

LinuxKeyboardLayouts::LinuxKeyboardLayouts(std::unique_ptr<X11KeyboardLayouts> xkb, std::unique_ptr<IBusEngines> ibus)
    : xkb_(std::move(xkb))
    , ibus_(std::move(ibus))
{
}

QList<KeyboardLayouts::Layout> LinuxKeyboardLayouts::layouts()
{
    if (ibus_ && ibus_->usable()) {
        const auto engines = ibus_->engines();
        if (!engines.isEmpty())
            return engines;
    }
    return xkb_->layouts();
}

QString LinuxKeyboardLayouts::currentId()
{
    if (ibus_ && ibus_->usable()) {
        const QString engine = ibus_->current();
        if (!engine.isEmpty())
            return engine;
    }
    return xkb_->currentId();
}

bool LinuxKeyboardLayouts::select(const QString& id)
{
    if (id.startsWith(QLatin1String(IBusEngines::kPrefix)))
        return ibus_ && ibus_->select(id);
    return xkb_->select(id);
}

void LinuxKeyboardLayouts::setOnChanged(std::function<void()> onChanged)
{
    onChanged_ = std::move(onChanged);
    reported_ = currentId();
    xkb_->setOnChanged([this] { changed(); });
    if (ibus_)
        ibus_->onChanged = [this] { changed(); };
}

void LinuxKeyboardLayouts::changed()
{
    // IBus's panel switches the X layout for an engine: both sides report the same switch.
    const QString now = currentId();
    if (now == reported_)
        return;
    reported_ = now;
    if (onChanged_)
        onChanged_();
}
