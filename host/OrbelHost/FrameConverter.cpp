#include "OrbelHost/FrameConverter.h"

#include "OrbelHost/Log.h"
#include "Support/BoundedRects.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstring>

namespace {
// Enough for the frame kept as the base of the next, the ones queued at an encoder and being
// encoded, and the one being filled.
constexpr std::size_t kPoolSize = 6;

// The changed rectangles widened to even edges (chroma covers 2×2 pixels) and kept inside the
// frame; one rectangle around them all when there are many.
std::vector<QRect> evenRects(const std::vector<QRect>& changed, QSize size)
{
    const QRect frame(QPoint(0, 0), size);
    std::vector<QRect> out;
    for (const QRect& rect : changed) {
        const int left = rect.left() & ~1;
        const int top = rect.top() & ~1;
        const int right = (rect.right() + 2) & ~1; // one past the last column, even
        const int bottom = (rect.bottom() + 2) & ~1;
        const QRect even = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)) & frame;
        if (even.isEmpty())
            continue;
        out.push_back(even);
    }
    boundRects(out, FrameConverter::kMaxRects);
    return out;
}
} // namespace

namespace {
// Copies one even rectangle of both NV12 planes.
void copyRect(uint8_t* to, const uint8_t* from, const QRect& rect, int width, int height)
{
    const std::size_t luma = std::size_t(width) * height;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        std::memcpy(to + std::size_t(y) * width + rect.x(), from + std::size_t(y) * width + rect.x(), std::size_t(rect.width()));
    for (int y = rect.top() / 2; y <= rect.bottom() / 2; ++y)
        std::memcpy(to + luma + std::size_t(y) * width + rect.x(), from + luma + std::size_t(y) * width + rect.x(),
                    std::size_t(rect.width()));
}
} // namespace

rtc::VideoFrame FrameConverter::convert(const ScreenSource::Image& image, QSize size)
{
    const int width = size.width();
    const int height = size.height();
    const qsizetype lumaBytes = qsizetype(width) * height;

    rtc::VideoFrame frame;
    frame.width = width;
    frame.height = height;
    frame.strideY = width;
    frame.strideUV = width;
    frame.number = ++frames_;
    // Never the previous frame's buffer: it is held here too, so it is not free.
    Slot& slot = takeSlot(lumaBytes + lumaBytes / 2);
    auto* y = reinterpret_cast<uint8_t*>(slot.buffer->data());
    uint8_t* uv = y + lumaBytes;

    const bool scaling = (image.width & ~1) != width || (image.height & ~1) != height;
    if (!scaling && image.changed && previous_ && previousSize_ == size) {
        std::vector<QRect> changed = evenRects(*image.changed, size);
        const bool everything = std::any_of(changed.begin(), changed.end(), [&](const QRect& rect) { return rect.size() == size; });
        if (!everything && !patchFromPrevious(slot, width, height))
            std::memcpy(y, previous_->constData(), std::size_t(previous_->size()));
        for (const QRect& rect : changed) {
            // An odd last row or column of the display is left out, as below.
            libyuv::ARGBToNV12(image.bgra + std::size_t(rect.y()) * image.stride + std::size_t(rect.x()) * 4, image.stride,
                               y + std::size_t(rect.y()) * width + rect.x(), width,
                               uv + std::size_t(rect.y() / 2) * width + rect.x(), width, rect.width(), rect.height());
        }
        history_.emplace_back(frame.number, changed);
        if (history_.size() > kPoolSize + 1)
            history_.erase(history_.begin());
        frame.changed = std::move(changed);
    } else {
        const uint8_t* pixels = image.bgra;
        int stride = image.stride;
        if (scaling) {
            // Scaled in BGRA first: cheaper here than scaling three planes after conversion, and
            // the box filter keeps small text legible.
            scaled_.resize(std::size_t(width) * height * 4);
            libyuv::ARGBScale(image.bgra, image.stride, image.width, image.height, scaled_.data(), width * 4, width,
                              height, libyuv::kFilterBox);
            pixels = scaled_.data();
            stride = width * 4;
        }
        // An odd last row or column of the display is left out.
        libyuv::ARGBToNV12(pixels, stride, y, width, uv, width, width, height);
        history_.clear(); // what changed before this frame no longer tells how to reach it
    }
    slot.holds = frame.number;
    previous_ = slot.buffer;
    previousSize_ = size;
    frame.data = slot.buffer;
    return frame;
}

bool FrameConverter::patchFromPrevious(Slot& slot, int width, int height)
{
    const quint64 previous = frames_ - 1;
    // Every frame after the one the slot holds, up to the previous one, must be in the history.
    if (!slot.holds || slot.holds >= previous || history_.empty() || history_.front().first > slot.holds + 1
        || history_.back().first != previous)
        return false;
    std::vector<const QRect*> copy;
    qint64 area = 0;
    for (const auto& [number, rects] : history_)
        if (number > slot.holds)
            for (const QRect& rect : rects) {
                copy.push_back(&rect);
                area += qint64(rect.width()) * rect.height();
            }
    if (area >= qint64(width) * height)
        return false; // as much as the whole frame: one copy is cheaper
    auto* to = reinterpret_cast<uint8_t*>(slot.buffer->data());
    const auto* from = reinterpret_cast<const uint8_t*>(previous_->constData());
    for (const QRect* rect : copy)
        copyRect(to, from, *rect, width, height);
    return true;
}

void FrameConverter::release()
{
    pool_.clear();
    history_.clear();
    previous_.reset();
    std::vector<uint8_t>().swap(scaled_);
}

FrameConverter::Slot& FrameConverter::takeSlot(qsizetype bytes)
{
    std::erase_if(pool_, [bytes](const Slot& slot) { return slot.buffer->size() != bytes; });
    // Only the pool holds it: nobody else can take a new reference, so it is free to refill.
    // (Should a consumer have copied the QByteArray itself, writing detaches it first.)
    for (Slot& slot : pool_)
        if (slot.buffer.use_count() == 1)
            return slot;
    if (pool_.size() >= kPoolSize)
        pool_.erase(pool_.begin());
    pool_.push_back({ std::make_shared<QByteArray>(bytes, Qt::Uninitialized), 0 });
    qCDebug(hostLog) << "frame pool:" << pool_.size() << "buffers of" << bytes << "bytes";
    return pool_.back();
}
