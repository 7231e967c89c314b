#pragma once
// The one screen source: takes NV12 frames and feeds the encoder groups that phones use.

#include "WebRTC/GstEncoderGroup.h"
#include "WebRTC/WebRTC.h"

#include <QMutex>

#include <map>
#include <optional>
#include <memory>

namespace rtc::gst {

// A GstBuffer over the frame's bytes, without copying; the buffer keeps them alive.
GstBuffer* wrapFrame(const VideoFrame& frame);

class GstVideoSource : public VideoSource {
public:
    explicit GstVideoSource(EncoderTuning tuning = {}) : tuning_(std::move(tuning)) {}

    void pushFrame(const VideoFrame& frame) override;

    // The group for a level, made on first use; a group lives while anyone holds it.
    std::shared_ptr<EncoderGroup> group(const LevelKey& key);
    int groupCount() const;
    // A key frame of the current screen for one group: the last frame is sent again, so a
    // phone that joined, connected or lost a frame sees the screen without waiting for it to
    // change. Throttled per group (EncoderGroup::kKeyFrameIntervalMs).
    void refresh(EncoderGroup& group);
    // Hands the last frame to `group` once, so that its encoder is set up before the screen
    // sends a new one (capture may only just be starting).
    void warm(EncoderGroup& group);

private:
    // The last frame once more, past the group's frame-rate limit.
    void pushLast(EncoderGroup& group);

    EncoderTuning tuning_;
    mutable QMutex mutex_;
    std::map<LevelKey, std::weak_ptr<EncoderGroup>> groups_;
    std::optional<VideoFrame> last_;
};

} // namespace rtc::gst
