#pragma once
#include "Platform/PowerAssertion.h"

class FakePowerAssertion : public PowerAssertion {
public:
    bool grants = true;
    bool held = false;
    int holds = 0;
    int releases = 0;
    int activity = 0;
    void hold(std::function<void(bool)> done) override
    {
        ++holds;
        held = grants;
        done(grants);
    }
    void release() override
    {
        ++releases;
        held = false;
    }
    void declareActivity() override { ++activity; }
};
