#pragma once
#include "Platform/LoginItem.h"

class FakeLoginItem : public LoginItem {
public:
    bool enabled = false;
    int setCalls = 0;
    bool isEnabled() override { return enabled; }
    bool setEnabled(bool on) override { ++setCalls; enabled = on; return true; }
};
