#pragma once
// Whether the host may read the screen and post input. On X11 both are granted by the display
// itself; other backends (portals) may need the user's consent.
class PermissionProbe {
public:
    virtual ~PermissionProbe() = default;
    virtual bool screenCaptureAllowed() = 0;
    virtual bool inputAllowed() = 0;
    // Asks the system for input access; true when it is granted already.
    virtual bool requestInputAccess() = 0;
};
