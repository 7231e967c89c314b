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

class GstVideoSource : public VideoSource, public std::enable_shared_from_this<GstVideoSource> {
public:
    explicit GstVideoSource(EncoderTuning tuning = {}) : tuning_(std::move(tuning)) {}

    void pushFrame(const VideoFrame& frame) override;
    void forgetLastFrame() override;

    // The group for a level, made on first use; a group lives while anyone holds it.
    std::shared_ptr<EncoderGroup> group(const LevelKey& key);
    int groupCount() const;
    // Subscriptions to every group of `key`'s level whatever its bit rate (same codec, frame
    // rate and scale).
    int viewersAtLevel(const LevelKey& key) const;
    // A key frame of the current screen for one group: the last frame is sent again, so a
    // phone that joined, connected or lost a frame sees the screen without waiting for it to
    // change. Throttled per group (EncoderGroup::kKeyFrameIntervalMs).
    void refresh(const std::shared_ptr<EncoderGroup>& group);
    // A key frame the bit-rate ceiling cut short is finished by the frames after it (the
    // encoder refines what it coded coarsely); on a still screen those would be the idle
    // repeats, seconds apart, each refining a little for a minute. So after a key frame made
    // from the last frame, that frame goes to the group again at its frame rate (on the main
    // loop) at least kSettleFrames times and until the encoder's output for it has been at most
    // kSettledBytes kSettledFrames times in a row (nothing left to refine), kSettleFramesMost
    // times at most; unless the screen sends a new frame meanwhile. The same after a key frame
    // made from a captured frame. Only for a source owned by a shared_ptr.
    static constexpr int kSettleFrames = 8;
    static constexpr int kSettleFramesMost = 150;
    static constexpr std::size_t kSettledBytes = 1000;
    static constexpr int kSettledFrames = 3;
    // Hands the last frame to `group` once, so that its encoder is set up before the screen
    // sends a new one (capture may only just be starting).
    void warm(EncoderGroup& group);

private:
    // The last frame once more; `force` passes the group's frame-rate limit.
    void pushLast(EncoderGroup& group, bool force = true);
    void settle(const std::shared_ptr<EncoderGroup>& group);

    EncoderTuning tuning_;
    mutable QMutex mutex_;
    std::map<LevelKey, std::weak_ptr<EncoderGroup>> groups_;
    std::optional<VideoFrame> last_;
    uint64_t pushed_ = 0; // frames from the screen so far
};

} // namespace rtc::gst
