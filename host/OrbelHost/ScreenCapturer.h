#pragma once
// Feeds the main display into the shared video source while any phone is connected.

#include "Platform/ScreenSource.h"
#include "WebRTC/WebRTC.h"

#include <memory>

class ScreenCapturer {
public:
    ScreenCapturer(std::shared_ptr<rtc::VideoSource> source, std::unique_ptr<ScreenSource> screen);

    // Both ignore a call that changes nothing.
    void start();
    void stop();
    // Sends the last frame again so a still screen still reaches a new phone.
    void repeatLastFrame();

    bool running() const { return running_; }
    int starts() const { return starts_; }
    int repeatRequests() const { return repeats_; }

private:
    std::shared_ptr<rtc::VideoSource> source_;
    std::unique_ptr<ScreenSource> screen_;
    bool running_ = false;
    int starts_ = 0;
    int repeats_ = 0;
};
