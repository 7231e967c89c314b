#pragma once
// The backends that read and drive this desktop, chosen from the session the host runs in:
// GNOME's Wayland session through mutter's remote-desktop service, else X11 (which on another
// Wayland compositor sees only the X11 windows of XWayland: said once in the log).

#include "Platform/CursorSource.h"
#include "Platform/EventPoster.h"
#include "Platform/Pasteboard.h"
#include "Platform/PermissionProbe.h"
#include "Platform/ScreenSource.h"

#include <QString>

#include <functional>
#include <memory>

struct DesktopBackends {
    enum class Kind { X11, MutterWayland };
    Kind kind = Kind::X11;
    std::unique_ptr<PermissionProbe> permissions;
    std::unique_ptr<ScreenSource> screen;
    std::unique_ptr<EventPoster> events;
    std::unique_ptr<CursorSource> cursor;
    std::unique_ptr<Pasteboard> pasteboard;
    // A fresh view of the main display for one screenshot, used on a worker thread.
    std::function<std::unique_ptr<ScreenSource>()> screenshotSource;

    // The session's kind: a Wayland session (WAYLAND_DISPLAY, XDG_SESSION_TYPE) with mutter's
    // service on the bus is GNOME's; VELQUIN_DESKTOP=x11 or =wayland chooses by hand.
    static Kind detect();
    static DesktopBackends make(Kind kind);
};
