#pragma once
// Reports the pointer's position and shape to the phones while any is connected (the screen
// video is captured without the pointer). Position is polled 60 times a second and reported
// only when it moves; the shape is looked at every sixth poll and reported only when its
// serial changes, as a PNG at twice its size.

#include "Platform/CursorSource.h"

#include <QJsonObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class CursorMonitor {
public:
    explicit CursorMonitor(std::unique_ptr<CursorSource> source);

    std::function<void(const QJsonObject& message)> onMessage;

    // Begins polling; does nothing if already running.
    void start();
    // Ends polling and forgets what was reported.
    void stop();
    // Forgets what was reported, so the next poll reports position and shape afresh.
    void reset();
    bool running() const { return timer_.isActive(); }
    CursorSource& source() { return *source_; }

    static constexpr int kIntervalMs = 16; // about 1/60 s
    static constexpr int kShapeEvery = 6;  // polls
    // A shape's PNG, Base64-encoded, stays clear of the 64 KiB control-message limit.
    static constexpr qsizetype kMaxShapePngBytes = 45'000;

    // One poll (the timer's work), for tests.
    void poll();

private:
    void checkShape();

    std::unique_ptr<CursorSource> source_;
    QTimer timer_;
    std::optional<QPoint> lastPosition_;
    std::optional<uint64_t> lastShape_;
    int tick_ = 0;
};
