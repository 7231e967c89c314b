#pragma once
#include "Platform/PermissionProbe.h"

// On X11 the display grants both: reading the screen once it opens, posting input when the
// XTEST extension is there.
class X11PermissionProbe : public PermissionProbe {
public:
    // `desktop`: X11, or OtherWayland when the display is a Wayland compositor's XWayland.
    explicit X11PermissionProbe(Desktop desktop = Desktop::X11)
        : desktop_(desktop)
    {
    }
    Desktop desktop() const override { return desktop_; }
    bool screenCaptureAllowed() override;
    bool inputAllowed() override;
    bool requestInputAccess() override { return inputAllowed(); }

private:
    Desktop desktop_;
};
