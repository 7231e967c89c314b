#pragma once
// Feeds the main display into the shared video source while any phone is connected: grabs
// about 30 times a second when the screen changed, repeats the last frame while it is still,
// and restarts when the display changes size or goes away.

#include "OrbelHost/CaptureRequest.h"
#include "OrbelHost/CaptureTiming.h"
#include "Platform/ScreenSource.h"
#include "WebRTC/WebRTC.h"

#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class CaptureLoop;

class ScreenCapturer {
public:
    using Timing = CaptureTiming;

    // The screen is opened, used and closed on the capturer's own thread, "orbel.capture".
    ScreenCapturer(std::shared_ptr<rtc::VideoSource> source, std::unique_ptr<ScreenSource> screen,
                   Timing timing = {});
    ~ScreenCapturer();
    ScreenCapturer(const ScreenCapturer&) = delete;
    ScreenCapturer& operator=(const ScreenCapturer&) = delete;

    // All three may be called from any thread and return at once; the work happens on the
    // capture thread. start() and stop() ignore a call that changes nothing.
    void start();
    void stop();
    // Sends the last frame again, with a fresh timestamp, so a new phone gets an image now.
    void repeatLastFrame();

    // Capture is wanted: set by start(), cleared by stop() and by a start that failed.
    bool running() const { return request_.wanted(); }
    // How often the idle timer has fired (diagnostics and tests).
    int idleTicks() const;
    // Runs `look` on the capture thread once everything posted before it has run: lets a
    // caller see the loop settled (tests, diagnostics).
    void afterQueuedWork(std::function<void(const CaptureLoop&)> look);

private:
    void post(void (CaptureLoop::*work)());

    CaptureRequest request_;
    std::unique_ptr<QThread> thread_;
    CaptureLoop* loop_ = nullptr; // lives on thread_ and is deleted there when it finishes
};
