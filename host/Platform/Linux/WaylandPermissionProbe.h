#pragma once
// On a Wayland session the compositor's remote-desktop service grants both: the screen while
// the service is there and has not refused the last session (mutter, or the user at the
// portal's dialog), input while the session may also drive the keyboard and pointer.

#include "Platform/Linux/RemoteDesktopSession.h"
#include "Platform/PermissionProbe.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class WaylandPermissionProbe : public PermissionProbe {
public:
    // `serviceAvailable` says whether the service is on the bus now.
    WaylandPermissionProbe(std::shared_ptr<RemoteDesktopSession> session, Desktop desktop, std::function<bool()> serviceAvailable)
        : session_(std::move(session))
        , desktop_(desktop)
        , serviceAvailable_(std::move(serviceAvailable))
    {
    }
    bool screenCaptureAllowed() override { return !session_->refused() && serviceAvailable(); }
    bool inputAllowed() override { return screenCaptureAllowed() && (!session_->isOpen() || session_->inputGranted()); }
    bool requestInputAccess() override { return inputAllowed(); }
    Desktop desktop() const override { return desktop_; }

private:
    // One bus round trip per poll, however many of the answers above it asks for.
    bool serviceAvailable()
    {
        const auto now = std::chrono::steady_clock::now();
        if (!askedAt_ || now - *askedAt_ > std::chrono::seconds(1)) {
            available_ = serviceAvailable_();
            askedAt_ = now;
        }
        return available_;
    }

    std::shared_ptr<RemoteDesktopSession> session_;
    Desktop desktop_;
    std::function<bool()> serviceAvailable_;
    std::optional<std::chrono::steady_clock::time_point> askedAt_;
    bool available_ = false;
};
