#pragma once
// The one screen source: takes NV12 frames and feeds the encoder groups that phones use.

#include "WebRTC/GstEncoderGroup.h"
#include "WebRTC/WebRTC.h"

#include <QMutex>

#include <map>
#include <optional>
#include <memory>

namespace rtc::gst {

class GstVideoSource : public VideoSource {
public:
    explicit GstVideoSource(QString x264Preset) : x264Preset_(std::move(x264Preset)) {}

    void pushFrame(const VideoFrame& frame) override;

    // The group for a level, made on first use; a group lives while anyone holds it.
    std::shared_ptr<EncoderGroup> group(const LevelKey& key);
    int groupCount() const;
    // Sends the last frame again into one group, so a phone that just joined it sees the screen
    // without waiting for it to change.
    void refresh(EncoderGroup& group);

private:
    QString x264Preset_;
    mutable QMutex mutex_;
    std::map<LevelKey, std::weak_ptr<EncoderGroup>> groups_;
    std::optional<VideoFrame> last_;
};

} // namespace rtc::gst
