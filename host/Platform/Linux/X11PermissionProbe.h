#pragma once
#include "Platform/PermissionProbe.h"

// On X11 the display grants both: reading the screen once it opens, posting input when the
// XTEST extension is there.
class X11PermissionProbe : public PermissionProbe {
public:
    bool screenCaptureAllowed() override;
    bool inputAllowed() override;
    bool requestInputAccess() override { return inputAllowed(); }
};
