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
    rtc::VideoFrame convert(const ScreenSource::Image& image, QSize size);
    // Frees the buffers kept for reuse.
    void release();

private:
    std::shared_ptr<QByteArray> takeBuffer(qsizetype bytes);

    // Frame buffers the video source has let go of are used again rather than reallocated.
    std::vector<std::shared_ptr<QByteArray>> pool_;
    std::vector<uint8_t> scaled_; // BGRA at the output size, when scaling
};
