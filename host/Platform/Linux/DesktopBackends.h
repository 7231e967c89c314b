#pragma once
// The backends that read and drive this desktop, chosen from the session the host runs in:
// GNOME's Wayland session through mutter's remote-desktop service; another Wayland compositor
// (or a mutter that refuses) through the desktop portal, which asks at the computer; else X11
// (which on a Wayland compositor sees only the X11 windows of XWayland: said in the log).

#include "Platform/CursorSource.h"
#include "Platform/EventPoster.h"
#include "Platform/Linux/RemoteDesktopSession.h"
#include "Platform/Pasteboard.h"
#include "Platform/PermissionProbe.h"
#include "Platform/ScreenSource.h"

#include <QString>

#include <functional>
#include <memory>

struct DesktopBackends {
    enum class Kind {
        X11,
        MutterWayland,
        PortalWayland,
        XWayland, // a Wayland compositor without either: X11 with only XWayland's windows
    };
    Kind kind = Kind::X11;
    std::unique_ptr<PermissionProbe> permissions;
    std::unique_ptr<ScreenSource> screen;
    std::unique_ptr<EventPoster> events;
    std::unique_ptr<CursorSource> cursor;
    std::unique_ptr<Pasteboard> pasteboard;
    // A fresh view of the main display for one screenshot, used on a worker thread.
    std::function<std::unique_ptr<ScreenSource>()> screenshotSource;

    // The session's kind: a Wayland session (WAYLAND_DISPLAY, XDG_SESSION_TYPE) with mutter's
    // service on the bus that grants sessions is GNOME's; VELQUIN_DESKTOP=x11, =mutter (or
    // =wayland) or =portal chooses by hand.
    static Kind detect();
    static DesktopBackends make(Kind kind);

private:
    void wayland(const std::shared_ptr<RemoteDesktopSession>& session, PermissionProbe::Desktop desktop, std::function<bool()> serviceAvailable);
};
