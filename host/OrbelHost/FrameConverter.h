#pragma once
// Turns grabbed BGRA images into the NV12 frames the video source takes.

#include "Platform/ScreenSource.h"
#include "WebRTC/WebRTC.h"

#include <QByteArray>
#include <QSize>

#include <memory>
#include <vector>

class FrameConverter {
public:
    // Converts `image` to an NV12 frame of `size` (even, no larger than the image), studio-range
    // BT.601: Y 16–235, chroma 16–240 centred on 128, what H.264 encoders take and decoders assume,
    // so the frame goes to the encoder as it is. An image one pixel wider or taller than `size`
    // is cropped, anything larger is scaled. The timestamp is left 0.
    // When the image tells what changed since the previous one, only that is converted, on a
    // copy of the previous frame.
    rtc::VideoFrame convert(const ScreenSource::Image& image, QSize size);
    // Frees the buffers kept for reuse.
    void release();

    // More changed rectangles than this are converted as the one rectangle around them all.
    static constexpr std::size_t kMaxRects = 64;

private:
    std::shared_ptr<QByteArray> takeBuffer(qsizetype bytes);

    // Frame buffers the video source has let go of are used again rather than reallocated.
    std::vector<std::shared_ptr<QByteArray>> pool_;
    std::vector<uint8_t> scaled_; // BGRA at the output size, when scaling
    std::shared_ptr<const QByteArray> previous_; // the last frame made, at previousSize_
    QSize previousSize_;
    quint64 frames_ = 0;
};
