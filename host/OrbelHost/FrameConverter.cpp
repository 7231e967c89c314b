#include "OrbelHost/FrameConverter.h"

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
    QRect around;
    for (const QRect& rect : changed) {
        const int left = rect.left() & ~1;
        const int top = rect.top() & ~1;
        const int right = (rect.right() + 2) & ~1; // one past the last column, even
        const int bottom = (rect.bottom() + 2) & ~1;
        const QRect even = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)) & frame;
        if (even.isEmpty())
            continue;
        out.push_back(even);
        around |= even;
    }
    if (out.size() > FrameConverter::kMaxRects)
        return { around };
    return out;
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
    auto buffer = takeBuffer(lumaBytes + lumaBytes / 2);
    auto* y = reinterpret_cast<uint8_t*>(buffer->data());
    uint8_t* uv = y + lumaBytes;

    const bool scaling = (image.width & ~1) != width || (image.height & ~1) != height;
    if (!scaling && image.changed && previous_ && previousSize_ == size) {
        std::memcpy(y, previous_->constData(), std::size_t(previous_->size()));
        frame.changed = evenRects(*image.changed, size);
        for (const QRect& rect : *frame.changed) {
            // An odd last row or column of the display is left out, as below.
            libyuv::ARGBToNV12(image.bgra + std::size_t(rect.y()) * image.stride + std::size_t(rect.x()) * 4, image.stride,
                               y + std::size_t(rect.y()) * width + rect.x(), width,
                               uv + std::size_t(rect.y() / 2) * width + rect.x(), width, rect.width(), rect.height());
        }
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
    }
    previous_ = buffer;
    previousSize_ = size;
    frame.data = std::move(buffer);
    return frame;
}

void FrameConverter::release()
{
    pool_.clear();
    previous_.reset();
    std::vector<uint8_t>().swap(scaled_);
}

std::shared_ptr<QByteArray> FrameConverter::takeBuffer(qsizetype bytes)
{
    std::erase_if(pool_, [bytes](const auto& buffer) { return buffer->size() != bytes; });
    // Only the pool holds it: nobody else can take a new reference, so it is free to refill.
    // (Should a consumer have copied the QByteArray itself, writing detaches it first.)
    for (const auto& buffer : pool_)
        if (buffer.use_count() == 1)
            return buffer;
    if (pool_.size() >= kPoolSize)
        pool_.erase(pool_.begin());
    pool_.push_back(std::make_shared<QByteArray>(bytes, Qt::Uninitialized));
    return pool_.back();
}
