#include "OrbelHost/ScreenCapturer.h"

ScreenCapturer::ScreenCapturer(std::shared_ptr<rtc::VideoSource> source, std::unique_ptr<ScreenSource> screen)
    : source_(std::move(source))
    , screen_(std::move(screen))
{
}

void ScreenCapturer::start()
{
    if (running_)
        return;
    running_ = true;
    ++starts_;
}

void ScreenCapturer::stop()
{
    running_ = false;
}

void ScreenCapturer::repeatLastFrame()
{
    ++repeats_;
}
