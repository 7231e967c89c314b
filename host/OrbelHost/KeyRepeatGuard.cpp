#include "OrbelHost/KeyRepeatGuard.h"

#include "OrbelHost/Log.h"

KeyRepeatGuard::KeyRepeatGuard(EventPoster& poster, QSettings& settings)
    : poster_(poster)
    , settings_(settings)
{
    if (settings_.value(kMarker, false).toBool()) {
        qCInfo(hostLog) << "turning key repeat back on after an unclean exit";
        poster_.setKeyRepeat(true);
        settings_.remove(kMarker);
        settings_.sync();
    }
}

KeyRepeatGuard::~KeyRepeatGuard()
{
    release();
}

void KeyRepeatGuard::hold()
{
    if (holding_ || poster_.keyRepeat() != std::optional<bool>(true))
        return;
    // The marker is on disk before the setting changes, so a crash cannot lose it.
    settings_.setValue(kMarker, true);
    settings_.sync();
    poster_.setKeyRepeat(false);
    holding_ = true;
}

void KeyRepeatGuard::release()
{
    if (!holding_)
        return;
    poster_.setKeyRepeat(true);
    holding_ = false;
    settings_.remove(kMarker);
    settings_.sync();
}
