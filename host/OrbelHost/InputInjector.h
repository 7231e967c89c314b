#pragma once
// Turns the phones' input messages into desktop input. One injector serves every phone, so it
// remembers what is held down and can release all of it when the last phone leaves.

#include "Platform/EventPoster.h"

#include <QJsonObject>
#include <QSet>

#include <memory>

class InputInjector {
public:
    explicit InputInjector(std::unique_ptr<EventPoster> poster);

    // One input message ("t" other than a command); main thread only.
    void handle(const QJsonObject& message);
    // Lifts every key and button this injector pressed.
    void releaseAll();

    EventPoster& poster() { return *poster_; }
    int handledCount() const { return handled_; }

private:
    std::unique_ptr<EventPoster> poster_;
    QSet<uint32_t> heldKeys_;
    QSet<int> heldButtons_;
    int handled_ = 0;
};
