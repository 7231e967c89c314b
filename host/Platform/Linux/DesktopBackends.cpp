#include "Platform/Linux/DesktopBackends.h"

#include "Platform/Linux/MutterClipboard.h"
#include "Platform/Linux/MutterPermissionProbe.h"
#include "Platform/Linux/MutterRemoteDesktop.h"
#include "Platform/Linux/PipeWireStream.h"
#include "Platform/Linux/QtClipboard.h"
#include "Platform/Linux/WaylandCursorSource.h"
#include "Platform/Linux/WaylandEventPoster.h"
#include "Platform/Linux/WaylandScreenSource.h"
#include "Platform/Linux/X11CursorSource.h"
#include "Platform/Linux/X11EventPoster.h"
#include "Platform/Linux/X11PermissionProbe.h"
#include "Platform/Linux/X11ScreenSource.h"

#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(desktopLog, "orbel.desktop")
}

DesktopBackends::Kind DesktopBackends::detect()
{
    const QString chosen = qEnvironmentVariable("VELQUIN_DESKTOP");
    if (chosen == QStringLiteral("x11"))
        return Kind::X11;
    if (chosen == QStringLiteral("wayland"))
        return Kind::MutterWayland;
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland");
    if (!wayland)
        return Kind::X11;
    if (MutterRemoteDesktop::available())
        return Kind::MutterWayland;
    qCWarning(desktopLog) << "this Wayland desktop has no GNOME remote-desktop service: only X11 windows (XWayland)"
                          << "can be shown and controlled; unattended access needs GNOME or an X11 session";
    return Kind::X11;
}

DesktopBackends DesktopBackends::make(Kind kind)
{
    DesktopBackends backends;
    backends.kind = kind;
    if (kind == Kind::MutterWayland) {
        // The screen source opens the session and stream that input and the pointer use.
        auto session = std::make_shared<MutterRemoteDesktop>();
        auto stream = std::make_shared<PipeWireStream>();
        backends.permissions = std::make_unique<MutterPermissionProbe>(session);
        backends.screen = std::make_unique<WaylandScreenSource>(session, stream);
        auto events = std::make_unique<WaylandEventPoster>(session, stream);
        auto clipboard = std::make_unique<MutterClipboard>(session);
        // Text the keyboard layout cannot type is pasted through the session's clipboard.
        events->setPaster([clipboard = clipboard.get()](const QString& text, const std::function<void()>& press, std::function<void()> done) {
            return clipboard->paste(text, press, std::move(done));
        });
        backends.events = std::move(events);
        backends.pasteboard = std::move(clipboard);
        backends.cursor = std::make_unique<WaylandCursorSource>(stream);
        backends.screenshotSource = [] { return std::make_unique<WaylandScreenSource>(); };
        qCInfo(desktopLog) << "desktop: GNOME Wayland (mutter's remote-desktop session)";
        return backends;
    }
    backends.pasteboard = std::make_unique<QtClipboard>();
    backends.permissions = std::make_unique<X11PermissionProbe>();
    backends.screen = std::make_unique<X11ScreenSource>();
    backends.events = std::make_unique<X11EventPoster>();
    backends.cursor = std::make_unique<X11CursorSource>();
    backends.screenshotSource = [] { return std::make_unique<X11ScreenSource>(); };
    return backends;
}
