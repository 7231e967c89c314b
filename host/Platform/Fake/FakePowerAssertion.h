#pragma once
#include "Platform/PowerAssertion.h"

class FakePowerAssertion : public PowerAssertion {
public:
    bool held = false;
    int activity = 0;
    bool hold() override { held = true; return true; }
    void release() override { held = false; }
    void declareActivity() override { ++activity; }
};
