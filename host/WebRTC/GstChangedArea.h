#pragma once
// What changed in a raw frame since the frame before it, carried on the buffer so that the
// H.264 encoder can skip the macroblocks that did not. A buffer without it (or with it for
// another size, after scaling) counts as changed everywhere.

#include <gst/gst.h>

#include <QRect>
#include <QSize>

#include <optional>
#include <vector>

namespace rtc::gst {

struct ChangedArea {
    QSize frameSize;
    std::vector<QRect> rects; // empty: nothing changed
    quint64 frame = 0;  // the captured frame's number: this is what changed since frame - 1
    quint64 pushed = 0; // an encoder group's own count of frames it pushed to its encoder
    // Folds in a later frame's change: what changed since the earlier frame's predecessor.
    void add(const ChangedArea& later);
    static constexpr std::size_t kMaxRects = 64; // more are merged into one around them all
};

// `buffer` must be writable.
void attachChangedArea(GstBuffer* buffer, const ChangedArea& area);
std::optional<ChangedArea> changedArea(GstBuffer* buffer);
void removeChangedArea(GstBuffer* buffer);

} // namespace rtc::gst
