#include "Platform/Linux/PipeWireBuffers.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <atomic>

namespace {
// Shape serials count across streams, so a stream opened again never repeats an old one.
std::atomic<uint64_t> shapeSerials { 0 };
constexpr int kLargestCursor = 1024;

const spa_meta* findMeta(const spa_buffer* buffer, uint32_t type, size_t least)
{
    for (uint32_t i = 0; i < buffer->n_metas; ++i)
        if (buffer->metas[i].type == type && buffer->metas[i].size >= least && buffer->metas[i].data)
            return &buffer->metas[i];
    return nullptr;
}
} // namespace

bool pipewire_buffers::readPixels(const spa_buffer* buffer, int width, int height, PipeWireStream::Frame& frame)
{
    if (buffer->n_datas < 1 || !buffer->datas)
        return false;
    const spa_data& data = buffer->datas[0];
    const spa_meta* header = findMeta(buffer, SPA_META_Header, sizeof(spa_meta_header));
    if ((header && (static_cast<const spa_meta_header*>(header->data)->flags & SPA_META_HEADER_FLAG_CORRUPTED)) || !data.data
        || !data.chunk || data.chunk->size == 0 || (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
        return false; // a cursor-only update, or nothing usable
    const int64_t stride = data.chunk->stride > 0 ? data.chunk->stride : int64_t(width) * 4;
    if (width <= 0 || height <= 0 || stride < int64_t(width) * 4
        || uint64_t(data.chunk->offset) + uint64_t(stride) * uint64_t(height) > uint64_t(data.maxsize))
        return false;
    const auto* pixels = static_cast<const uint8_t*>(data.data) + data.chunk->offset;
    frame.size = QSize(width, height);
    frame.stride = int(stride);
    frame.bgra.assign(pixels, pixels + size_t(stride) * size_t(height));
    ++frame.serial;
    return true;
}

void pipewire_buffers::readCursor(const spa_buffer* buffer, PipeWireStream::Cursor& cursor)
{
    const spa_meta* found = findMeta(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor));
    if (!found)
        return;
    const auto* meta = static_cast<const spa_meta_cursor*>(found->data);
    if (!spa_meta_cursor_is_valid(meta))
        return;
    cursor.known = true;
    cursor.position = QPoint(meta->position.x, meta->position.y);
    // A bitmap comes only with a new shape; one without pixels means "no change".
    if (meta->bitmap_offset < sizeof(spa_meta_cursor) || uint64_t(meta->bitmap_offset) + sizeof(spa_meta_bitmap) > found->size)
        return;
    const auto* bitmap = SPA_PTROFF(meta, meta->bitmap_offset, const spa_meta_bitmap);
    const int width = int(bitmap->size.width);
    const int height = int(bitmap->size.height);
    if (width <= 0 || height <= 0 || width > kLargestCursor || height > kLargestCursor || bitmap->offset < sizeof(spa_meta_bitmap)
        || bitmap->stride < width * 4)
        return;
    // Every row within the metadata the buffer holds.
    const uint64_t end = uint64_t(meta->bitmap_offset) + bitmap->offset + uint64_t(bitmap->stride) * uint64_t(height - 1) + uint64_t(width) * 4;
    if (end > found->size)
        return;
    const QImage::Format layout = bitmap->format == SPA_VIDEO_FORMAT_RGBA ? QImage::Format_RGBA8888
        : bitmap->format == SPA_VIDEO_FORMAT_BGRA                       ? QImage::Format_ARGB32
                                                                        : QImage::Format_Invalid;
    if (layout == QImage::Format_Invalid)
        return;
    const auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, const uchar);
    QImage shape = QImage(pixels, width, height, bitmap->stride, layout).convertToFormat(QImage::Format_ARGB32);
    const QPoint hotspot(meta->hotspot.x, meta->hotspot.y);
    // mutter sends the bitmap again when a window merely sets the same shape again: that is
    // no change to tell the phones of.
    if (cursor.shapeSerial != 0 && hotspot == cursor.hotspot && shape == cursor.shape)
        return;
    cursor.shape = std::move(shape);
    cursor.hotspot = hotspot;
    cursor.shapeSerial = ++shapeSerials;
}

bool pipewire_buffers::readArrived(const std::vector<const spa_buffer*>& buffers, int width, int height,
                                   PipeWireStream::Frame& frame, PipeWireStream::Cursor& cursor)
{
    for (const spa_buffer* buffer : buffers)
        readCursor(buffer, cursor);
    for (auto it = buffers.rbegin(); it != buffers.rend(); ++it)
        if (readPixels(*it, width, height, frame))
            return true;
    return false;
}
