#pragma once
// The capture thread's side of ScreenCapturer: owns the screen, the timers, the last frame and
// the counters. Every member function runs on that thread.

#include "OrbelHost/CaptureRequest.h"
#include "OrbelHost/CaptureTiming.h"
#include "OrbelHost/FrameConverter.h"
#include "Platform/ScreenSource.h"
#include "WebRTC/WebRTC.h"

#include <QObject>
#include <QSize>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>

class CaptureLoop : public QObject {
public:
    CaptureLoop(std::shared_ptr<rtc::VideoSource> source, std::unique_ptr<ScreenSource> screen,
                CaptureTiming timing, CaptureRequest& request);
    ~CaptureLoop() override;

    // Starts or stops to match the request; a stale or repeated call changes nothing.
    void reconcile();
    void repeatLastFrame();

    int idleTicks() const { return idleTicks_; }
    // Whether a timer can still grab or repeat a frame.
    bool ticking() const { return grabTimer_.isActive() || idleTimer_.isActive(); }

private:
    void begin(uint64_t generation);
    void end();
    void openScreen();
    void closeScreen();
    void restart(const QString& why);
    void grabTick();
    void idleTick();
    void deliver(rtc::VideoFrame frame);
    void logStats();
    int64_t now() const { return timing_.now(); }

    std::shared_ptr<rtc::VideoSource> source_;
    std::unique_ptr<ScreenSource> screen_;
    CaptureTiming timing_;
    CaptureRequest& request_;
    FrameConverter converter_;
    QTimer grabTimer_ { this };
    QTimer idleTimer_ { this };

    bool running_ = false;    // a start is in effect (it may have found no display)
    uint64_t generation_ = 0; // the start in effect
    bool streaming_ = false;  // the screen is open and grabbed on every tick
    QSize frameSize_;
    std::optional<rtc::VideoFrame> last_;
    int64_t lastFrameNs_ = 0;
    struct Stats {
        int received = 0;
        int delivered = 0;
        int64_t sinceNs = 0;
    } stats_;
    std::atomic<int> idleTicks_ { 0 };
};
