#pragma once
#include "Platform/LoginItem.h"

class FakeLoginItem : public LoginItem {
public:
    bool enabled = false;
    bool refuses = false; // the desktop takes no change
    int setCalls = 0;
    bool isEnabled() override { return enabled; }
    bool setEnabled(bool on) override
    {
        ++setCalls;
        if (!refuses)
            enabled = on;
        return !refuses;
    }
};
