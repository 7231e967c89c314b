#include "OrbelHost/FrameConverter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>

namespace {
// Enough for the frame the source holds, the one being encoded and the one being filled.
constexpr std::size_t kPoolSize = 4;
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
    auto buffer = takeBuffer(lumaBytes + lumaBytes / 2);
    auto* y = reinterpret_cast<uint8_t*>(buffer->data());
    uint8_t* uv = y + lumaBytes;

    const uint8_t* pixels = image.bgra;
    int stride = image.stride;
    if ((image.width & ~1) != width || (image.height & ~1) != height) {
        // Scaled in BGRA first: cheaper here than scaling three planes after conversion, and
        // the box filter keeps small text legible.
        scaled_.resize(std::size_t(width) * height * 4);
        libyuv::ARGBScale(image.bgra, image.stride, image.width, image.height, scaled_.data(), width * 4, width, height,
                          libyuv::kFilterBox);
        pixels = scaled_.data();
        stride = width * 4;
    }
    // An odd last row or column of the display is left out.
    libyuv::ARGBToNV12(pixels, stride, y, width, uv, width, width, height);
    frame.data = std::move(buffer);
    return frame;
}

void FrameConverter::release()
{
    pool_.clear();
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
