#include "Platform/Linux/DesktopBackends.h"

#include "Platform/Linux/MutterClipboard.h"
#include "Platform/Linux/MutterRemoteDesktop.h"
#include "Platform/Linux/PipeWireStream.h"
#include "Platform/Linux/PortalRemoteDesktop.h"
#include "Platform/Linux/QtClipboard.h"
#include "Platform/Linux/WaylandCursorSource.h"
#include "Platform/Linux/WaylandEventPoster.h"
#include "Platform/Linux/WaylandPermissionProbe.h"
#include "Platform/Linux/WaylandScreenSource.h"
#include "Platform/Linux/WaylandSnapshotSource.h"
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
    if (chosen == QStringLiteral("wayland") || chosen == QStringLiteral("mutter"))
        return Kind::MutterWayland;
    if (chosen == QStringLiteral("portal"))
        return Kind::PortalWayland;
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland");
    if (!wayland)
        return Kind::X11;
    const bool mutter = MutterRemoteDesktop::available();
    if (mutter && MutterRemoteDesktop::allowsSessions())
        return Kind::MutterWayland;
    if (PortalRemoteDesktop::available()) {
        qCWarning(desktopLog).noquote() << (mutter ? "mutter refused a remote-desktop session:" : "no GNOME remote-desktop service:")
                                        << "sharing through the desktop portal, which asks at the computer every time a phone"
                                        << "connects; unattended access needs GNOME or an X11 session";
        return Kind::PortalWayland;
    }
    qCWarning(desktopLog) << "this Wayland desktop has no remote-desktop service: only X11 windows (XWayland)"
                          << "can be shown and controlled; unattended access needs GNOME or an X11 session";
    return Kind::XWayland;
}

DesktopBackends DesktopBackends::make(Kind kind)
{
    DesktopBackends backends;
    backends.kind = kind;
    if (kind == Kind::MutterWayland) {
        auto session = std::make_shared<MutterRemoteDesktop>();
        backends.wayland(session, PermissionProbe::Desktop::GnomeWayland, &MutterRemoteDesktop::available);
        auto clipboard = std::make_unique<MutterClipboard>(session);
        // Text the keyboard layout cannot type is pasted through the session's clipboard.
        static_cast<WaylandEventPoster&>(*backends.events)
            .setPaster([clipboard = clipboard.get()](const QString& text, const std::function<void()>& press, std::function<void()> done) {
                return clipboard->paste(text, press, std::move(done));
            });
        backends.pasteboard = std::move(clipboard);
        qCInfo(desktopLog) << "desktop: GNOME Wayland (mutter's remote-desktop session)";
        return backends;
    }
    backends.pasteboard = std::make_unique<QtClipboard>();
    if (kind == Kind::PortalWayland) {
        // The portal of Debian 12 has no clipboard: Qt's, which sees it while a window of ours has the focus.
        backends.wayland(std::make_shared<PortalRemoteDesktop>(), PermissionProbe::Desktop::PortalWayland,
                         [] { return PortalRemoteDesktop::available(PortalRemoteDesktop::kPollWaitMs); });
        qCInfo(desktopLog) << "desktop: Wayland through the desktop portal";
        return backends;
    }
    backends.permissions = std::make_unique<X11PermissionProbe>(kind == Kind::XWayland ? PermissionProbe::Desktop::OtherWayland
                                                                                      : PermissionProbe::Desktop::X11);
    backends.screen = std::make_unique<X11ScreenSource>();
    backends.events = std::make_unique<X11EventPoster>();
    backends.cursor = std::make_unique<X11CursorSource>();
    backends.screenshotSource = [] { return std::make_unique<X11ScreenSource>(); };
    return backends;
}

void DesktopBackends::wayland(const std::shared_ptr<RemoteDesktopSession>& session, PermissionProbe::Desktop desktop,
                              std::function<bool()> serviceAvailable)
{
    // The screen source opens the session and the stream that input, the pointer and
    // screenshots use.
    auto stream = std::make_shared<PipeWireStream>();
    permissions = std::make_unique<WaylandPermissionProbe>(session, desktop, std::move(serviceAvailable));
    screen = std::make_unique<WaylandScreenSource>(session, stream);
    events = std::make_unique<WaylandEventPoster>(session, stream);
    cursor = std::make_unique<WaylandCursorSource>(stream);
    screenshotSource = [stream] { return std::make_unique<WaylandSnapshotSource>(stream); };
}
