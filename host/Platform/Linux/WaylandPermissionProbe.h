#pragma once
// On a Wayland session the compositor's remote-desktop service grants both: the screen while
// the service is there and has not refused the last session (mutter, or the user at the
// portal's dialog), input while the session may also drive the keyboard and pointer.

#include "Platform/Linux/RemoteDesktopSession.h"
#include "Platform/PermissionProbe.h"

#include <functional>
#include <memory>

class WaylandPermissionProbe : public PermissionProbe {
public:
    // `serviceAvailable` says whether the service is on the bus now.
    WaylandPermissionProbe(std::shared_ptr<RemoteDesktopSession> session, Desktop desktop, std::function<bool()> serviceAvailable)
        : session_(std::move(session))
        , desktop_(desktop)
        , serviceAvailable_(std::move(serviceAvailable))
    {
    }
    bool screenCaptureAllowed() override { return !session_->refused() && serviceAvailable_(); }
    bool inputAllowed() override { return screenCaptureAllowed() && (!session_->isOpen() || session_->inputGranted()); }
    bool requestInputAccess() override { return inputAllowed(); }
    Desktop desktop() const override { return desktop_; }

private:
    std::shared_ptr<RemoteDesktopSession> session_;
    Desktop desktop_;
    std::function<bool()> serviceAvailable_;
};
