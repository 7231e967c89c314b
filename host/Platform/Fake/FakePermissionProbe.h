#pragma once
#include "Platform/PermissionProbe.h"
#include <atomic>

class FakePermissionProbe : public PermissionProbe {
public:
    std::atomic<bool> screen { true };
    std::atomic<bool> input { true };
    std::atomic<int> requests { 0 };
    std::atomic<int> reads { 0 };
    Desktop kind = Desktop::X11;
    bool screenCaptureAllowed() override { ++reads; return screen; }
    bool inputAllowed() override { return input; }
    bool requestInputAccess() override { ++requests; return input; }
    Desktop desktop() const override { return kind; }
};
