#include "Platform/Linux/X11PermissionProbe.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {
template <typename F>
bool withDisplay(F&& check)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    const bool result = check(display);
    XCloseDisplay(display);
    return result;
}
} // namespace

bool X11PermissionProbe::screenCaptureAllowed()
{
    return withDisplay([](Display*) { return true; });
}

bool X11PermissionProbe::inputAllowed()
{
    return withDisplay([](Display* display) {
        int event, error, major, minor;
        return XTestQueryExtension(display, &event, &error, &major, &minor) == True;
    });
}
