// Screen-cast buffers as a compositor hands them over, made up here: pixels with padding and
// offsets, cursor-only updates, cursor shapes, and sizes that lie about the memory behind them.

#include "Platform/Linux/PipeWireBuffers.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {
// One buffer: pixel memory with its chunk, a header and cursor metadata of the given size.
struct FakeBuffer {
    std::vector<uint8_t> memory;
    spa_chunk chunk {};
    spa_data data {};
    spa_meta_header header {};
    std::vector<uint8_t> cursorMemory;
    spa_meta metas[2] {};
    spa_buffer buffer {};

    explicit FakeBuffer(size_t memoryBytes, size_t cursorBytes = sizeof(spa_meta_cursor))
        : memory(memoryBytes, 0)
        , cursorMemory(cursorBytes, 0)
    {
        data.data = memory.empty() ? nullptr : memory.data();
        data.maxsize = uint32_t(memory.size());
        data.chunk = &chunk;
        metas[0] = spa_meta { SPA_META_Header, sizeof header, &header };
        metas[1] = spa_meta { SPA_META_Cursor, uint32_t(cursorMemory.size()), cursorMemory.data() };
        buffer.n_metas = 2;
        buffer.metas = metas;
        buffer.n_datas = 1;
        buffer.datas = &data;
    }
    spa_meta_cursor* cursor() { return reinterpret_cast<spa_meta_cursor*>(cursorMemory.data()); }
    // A bitmap right after the cursor metadata, its pixels right after the bitmap header.
    spa_meta_bitmap* bitmap(uint32_t format, int width, int height)
    {
        cursor()->bitmap_offset = sizeof(spa_meta_cursor);
        auto* b = reinterpret_cast<spa_meta_bitmap*>(cursorMemory.data() + sizeof(spa_meta_cursor));
        b->format = format;
        b->size = spa_rectangle { uint32_t(width), uint32_t(height) };
        b->stride = width * 4;
        b->offset = sizeof(spa_meta_bitmap);
        return b;
    }
};
} // namespace

TEST(PipeWireBuffersTest, PixelsAreCopiedOnlyWhenTheBufferReallyHoldsThem)
{
    // 4×2 pixels, rows of 20 bytes (4 of padding), 8 bytes into the memory.
    FakeBuffer b(8 + 20 * 2);
    for (size_t i = 0; i < 40; ++i)
        b.memory[8 + i] = uint8_t(i);
    b.chunk = spa_chunk { 8, 40, 20, 0 };
    PipeWireStream::Frame frame;
    ASSERT_TRUE(pipewire_buffers::readPixels(&b.buffer, 4, 2, frame));
    EXPECT_EQ(frame.size, QSize(4, 2));
    EXPECT_EQ(frame.stride, 20);
    ASSERT_EQ(frame.bgra.size(), 40u);
    EXPECT_EQ(frame.bgra[0], 0);
    EXPECT_EQ(frame.bgra[39], 39);
    EXPECT_EQ(frame.serial, 1u);

    const auto rejected = [&](const char* why) {
        PipeWireStream::Frame untouched;
        EXPECT_FALSE(pipewire_buffers::readPixels(&b.buffer, 4, 2, untouched)) << why;
        EXPECT_EQ(untouched.serial, 0u) << why;
        EXPECT_TRUE(untouched.bgra.empty()) << why;
    };
    b.chunk = spa_chunk { 8, 0, 20, 0 };
    rejected("a cursor-only update has no chunk data");
    b.chunk = spa_chunk { 8, 40, 20, SPA_CHUNK_FLAG_CORRUPTED };
    rejected("a corrupted chunk");
    b.chunk = spa_chunk { 8, 40, 20, 0 };
    b.header.flags = SPA_META_HEADER_FLAG_CORRUPTED;
    rejected("a corrupted buffer");
    b.header.flags = 0;
    b.chunk = spa_chunk { 12, 40, 20, 0 };
    rejected("rows that run past the memory");
    b.chunk = spa_chunk { 8, 40, 12, 0 };
    rejected("rows shorter than the frame's width");
    b.chunk = spa_chunk { 8, 40, 20, 0 };
    b.data.data = nullptr;
    rejected("memory that is not mapped");
    b.data.data = b.memory.data();
    b.buffer.n_datas = 0;
    rejected("no data at all");
}

TEST(PipeWireBuffersTest, TheCursorMovesOnEveryBufferAndChangesShapeOnlyWithABitmap)
{
    const size_t room = sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + 2 * 2 * 4;
    FakeBuffer b(0, room);
    PipeWireStream::Cursor cursor;

    b.cursor()->id = 0;
    pipewire_buffers::readCursor(&b.buffer, cursor);
    EXPECT_FALSE(cursor.known) << "id 0: no valid cursor";

    b.cursor()->id = 1;
    b.cursor()->position = spa_point { 321, 123 };
    pipewire_buffers::readCursor(&b.buffer, cursor);
    EXPECT_TRUE(cursor.known);
    EXPECT_EQ(cursor.position, QPoint(321, 123));
    EXPECT_TRUE(cursor.shape.isNull()) << "a position alone brings no shape";

    // A 2×2 RGBA bitmap: opaque red, green, blue and a transparent pixel.
    auto* bitmap = b.bitmap(SPA_VIDEO_FORMAT_RGBA, 2, 2);
    const uint8_t rgba[16] = { 255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 0, 0, 0, 0 };
    std::memcpy(reinterpret_cast<uint8_t*>(bitmap) + bitmap->offset, rgba, sizeof rgba);
    b.cursor()->hotspot = spa_point { 1, 0 };
    pipewire_buffers::readCursor(&b.buffer, cursor);
    ASSERT_EQ(cursor.shape.size(), QSize(2, 2));
    EXPECT_EQ(cursor.shape.format(), QImage::Format_ARGB32);
    EXPECT_EQ(cursor.shape.pixel(0, 0), qRgba(255, 0, 0, 255));
    EXPECT_EQ(cursor.shape.pixel(1, 0), qRgba(0, 255, 0, 255));
    EXPECT_EQ(cursor.shape.pixel(0, 1), qRgba(0, 0, 255, 255));
    EXPECT_EQ(qAlpha(cursor.shape.pixel(1, 1)), 0);
    EXPECT_EQ(cursor.hotspot, QPoint(1, 0));
    const uint64_t first = cursor.shapeSerial;
    EXPECT_NE(first, 0u);

    // The next buffer moves the pointer without a bitmap: the shape stays, its serial too.
    b.cursor()->bitmap_offset = 0;
    b.cursor()->position = spa_point { 5, 6 };
    pipewire_buffers::readCursor(&b.buffer, cursor);
    EXPECT_EQ(cursor.position, QPoint(5, 6));
    EXPECT_EQ(cursor.shapeSerial, first);
    bitmap = b.bitmap(SPA_VIDEO_FORMAT_RGBA, 0, 0);
    pipewire_buffers::readCursor(&b.buffer, cursor);
    EXPECT_EQ(cursor.shapeSerial, first) << "an empty bitmap means no change";
    bitmap = b.bitmap(SPA_VIDEO_FORMAT_RGBA, 2, 2);
    std::memcpy(reinterpret_cast<uint8_t*>(bitmap) + bitmap->offset, rgba, sizeof rgba);
    pipewire_buffers::readCursor(&b.buffer, cursor);
    EXPECT_EQ(cursor.shapeSerial, first) << "the same bitmap sent again is no change";
    b.cursor()->hotspot = spa_point { 0, 0 };
    pipewire_buffers::readCursor(&b.buffer, cursor);
    EXPECT_GT(cursor.shapeSerial, first) << "the same bitmap with another hotspot is";
    b.cursor()->hotspot = spa_point { 1, 0 };

    // A shape again: a serial never seen before, also on another cursor.
    bitmap = b.bitmap(SPA_VIDEO_FORMAT_BGRA, 2, 2);
    pipewire_buffers::readCursor(&b.buffer, cursor);
    EXPECT_GT(cursor.shapeSerial, first);
    PipeWireStream::Cursor other;
    pipewire_buffers::readCursor(&b.buffer, other);
    EXPECT_GT(other.shapeSerial, cursor.shapeSerial);

    // A bitmap that claims more rows, or lies further, than the metadata holds is not read.
    const uint64_t kept = other.shapeSerial;
    bitmap = b.bitmap(SPA_VIDEO_FORMAT_RGBA, 64, 64);
    pipewire_buffers::readCursor(&b.buffer, other);
    EXPECT_EQ(other.shapeSerial, kept);
    bitmap = b.bitmap(SPA_VIDEO_FORMAT_RGBA, 2, 2);
    bitmap->offset = 4096;
    pipewire_buffers::readCursor(&b.buffer, other);
    EXPECT_EQ(other.shapeSerial, kept);
    b.cursor()->bitmap_offset = uint32_t(room);
    pipewire_buffers::readCursor(&b.buffer, other);
    EXPECT_EQ(other.shapeSerial, kept);
    bitmap = b.bitmap(SPA_VIDEO_FORMAT_RGBA, 2, 2);
    bitmap->stride = 4;
    pipewire_buffers::readCursor(&b.buffer, other);
    EXPECT_EQ(other.shapeSerial, kept) << "rows shorter than the width";
    EXPECT_EQ(other.position, QPoint(5, 6)) << "the position still counts";
}

TEST(PipeWireBuffersTest, BuffersThatArriveTogetherLoseNeitherAShapeNorAPicture)
{
    const size_t room = sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + 2 * 2 * 4;
    // A frame whose cursor brings a new shape, then a cursor-only update that moves it: read
    // together, as a busy reader finds them.
    FakeBuffer framed(8, room);
    framed.chunk = spa_chunk { 0, 8, 4, 0 };
    framed.memory = { 1, 2, 3, 4, 5, 6, 7, 8 };
    framed.data.data = framed.memory.data();
    framed.cursor()->id = 1;
    framed.cursor()->position = spa_point { 10, 20 };
    auto* bitmap = framed.bitmap(SPA_VIDEO_FORMAT_RGBA, 2, 2);
    std::memset(reinterpret_cast<uint8_t*>(bitmap) + bitmap->offset, 0xff, 16);
    FakeBuffer moved(8, room);
    moved.cursor()->id = 1;
    moved.cursor()->position = spa_point { 11, 21 };

    PipeWireStream::Frame frame;
    PipeWireStream::Cursor cursor;
    EXPECT_TRUE(pipewire_buffers::readArrived({ &framed.buffer, &moved.buffer }, 1, 2, frame, cursor));
    EXPECT_EQ(frame.serial, 1u) << "the picture came before the cursor-only update";
    EXPECT_EQ(frame.bgra, std::vector<uint8_t>({ 1, 2, 3, 4, 5, 6, 7, 8 }));
    EXPECT_EQ(cursor.shape.size(), QSize(2, 2)) << "the shape came before the update without one";
    EXPECT_EQ(cursor.position, QPoint(11, 21)) << "the newest position";

    // Two pictures: only the newest is copied.
    FakeBuffer newer(8, room);
    newer.chunk = spa_chunk { 0, 8, 4, 0 };
    newer.memory = { 9, 9, 9, 9, 9, 9, 9, 9 };
    newer.data.data = newer.memory.data();
    EXPECT_TRUE(pipewire_buffers::readArrived({ &framed.buffer, &newer.buffer }, 1, 2, frame, cursor));
    EXPECT_EQ(frame.serial, 2u);
    EXPECT_EQ(frame.bgra, std::vector<uint8_t>(8, 9));
    EXPECT_FALSE(pipewire_buffers::readArrived({ &moved.buffer }, 1, 2, frame, cursor)) << "no picture at all";
    EXPECT_EQ(frame.serial, 2u);
}
