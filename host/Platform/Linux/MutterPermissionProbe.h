#pragma once
// On GNOME's Wayland session mutter grants both through its remote-desktop service: the screen
// and input are there while the service is on the session bus and has not refused a session.

#include "Platform/Linux/MutterRemoteDesktop.h"
#include "Platform/PermissionProbe.h"

#include <memory>

class MutterPermissionProbe : public PermissionProbe {
public:
    explicit MutterPermissionProbe(std::shared_ptr<MutterRemoteDesktop> session)
        : session_(std::move(session))
    {
    }
    bool screenCaptureAllowed() override { return !session_->refused() && MutterRemoteDesktop::available(); }
    bool inputAllowed() override { return screenCaptureAllowed(); }
    bool requestInputAccess() override { return inputAllowed(); }

private:
    std::shared_ptr<MutterRemoteDesktop> session_;
};
