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
    // When the image tells what changed since the previous one, only that is converted, into a
    // buffer that already holds an earlier frame: what changed since that frame is copied over
    // from the previous one (the whole previous frame when that is not known). The frame says
    // what changed in it (`changed`) when that is known.
    rtc::VideoFrame convert(const ScreenSource::Image& image, QSize size);
    // Frees the buffers kept for reuse.
    void release();

    // More changed rectangles than this are converted as the one rectangle around them all.
    static constexpr std::size_t kMaxRects = 64;

private:
    struct Slot {
        std::shared_ptr<QByteArray> buffer;
        quint64 holds = 0; // the number of the frame in it; 0: none worth patching
    };
    Slot& takeSlot(qsizetype bytes);
    // Brings `slot` from the frame it holds to the previous frame, copying only what changed
    // in between when the history tells; false when it does not.
    bool patchFromPrevious(Slot& slot, int width, int height);

    // Frame buffers the video source has let go of are used again rather than reallocated.
    std::vector<Slot> pool_;
    // What changed in each of the last few frames made (even rectangles at previousSize_),
    // oldest first, without a gap back to the first.
    std::vector<std::pair<quint64, std::vector<QRect>>> history_;
    std::vector<uint8_t> scaled_; // BGRA at the output size, when scaling
    std::shared_ptr<const QByteArray> previous_; // the last frame made, at previousSize_
    QSize previousSize_;
    quint64 frames_ = 0;
};
