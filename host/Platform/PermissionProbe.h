#pragma once
// Whether the host may read the screen and post input. On X11 both are granted by the display
// itself; other backends (portals) may need the user's consent.
class PermissionProbe {
public:
    // What grants them, which decides what the user is told when one is missing.
    enum class Desktop {
        X11,           // the X display
        GnomeWayland,  // mutter's remote-desktop service
        PortalWayland, // the desktop portal: someone at the computer agrees to every session
        OtherWayland,  // a Wayland compositor with neither: only X11 windows (XWayland) can be shared
    };
    virtual ~PermissionProbe() = default;
    virtual Desktop desktop() const { return Desktop::X11; }
    virtual bool screenCaptureAllowed() = 0;
    virtual bool inputAllowed() = 0;
    // Asks the system for input access; true when it is granted already.
    virtual bool requestInputAccess() = 0;
};
