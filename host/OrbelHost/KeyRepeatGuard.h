#pragma once
// Turns the desktop's key auto-repeat off while phones are connected: a key held through the
// injector would otherwise repeat for as long as a stalled phone fails to release it. Phones
// send their own repeats. The user's setting is always put back: when the last phone leaves,
// when the host quits, and at the next start after a crash (a marker in the settings says so).

#include "Platform/EventPoster.h"

#include <QSettings>

class KeyRepeatGuard {
public:
    KeyRepeatGuard(EventPoster& poster, QSettings& settings);
    ~KeyRepeatGuard();
    KeyRepeatGuard(const KeyRepeatGuard&) = delete;
    KeyRepeatGuard& operator=(const KeyRepeatGuard&) = delete;

    // Repeat off, if it is on.
    void hold();
    // Repeat back on, if hold() turned it off.
    void release();
    bool holding() const { return holding_; }

    // Settings key present while this host has the desktop's repeat turned off.
    static inline const QString kMarker = QStringLiteral("restoreKeyRepeat");

private:
    EventPoster& poster_;
    QSettings& settings_;
    bool holding_ = false;
};
