#pragma once
// A consumer of one PipeWire video stream (a compositor's screen cast): it negotiates BGRx/BGRA
// in shared memory with cursor metadata, and keeps the newest frame and cursor for readers on
// other threads. PipeWire's own thread does the receiving; buffers go back to it at once.
// Thread-safe: one thread opens, closes and takes frames while others read the cursor.

#include <QImage>
#include <QPoint>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class PipeWireStream {
public:
    struct Frame {
        QSize size;
        int stride = 0;
        std::vector<uint8_t> bgra; // B G R X rows of `stride` bytes
        uint64_t serial = 0;       // counts frames with pixels
    };
    struct Cursor {
        bool known = false;   // the stream said where the pointer is
        QPoint position;      // in the frame's pixels
        QPoint hotspot;
        QImage shape;         // ARGB32; null until the stream sent a bitmap
        uint64_t shapeSerial = 0; // unique to each shape this process saw
    };
    enum class State { Connecting, Streaming, Ended };

    PipeWireStream();
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Connects to `node` through `connection` (a socket to a PipeWire daemon, which the stream
    // then owns), or through the session's daemon when it is -1; false with errorString().
    bool open(uint32_t node, int connection = -1);
    void close();

    State state() const;
    QString errorString() const;
    // Hands the newest frame over in `frame` when it is newer than `frame.serial` (the buffer
    // `frame` held is kept for the next one); false otherwise.
    bool takeFrame(Frame& frame);
    // A copy of the newest frame, leaving it to takeFrame(); false when there is none.
    bool copyFrame(Frame& frame) const;
    Cursor cursor() const;
    // The size of the newest frame; empty while none came or when closed.
    QSize size() const;

private:
    struct Loop;
    mutable std::mutex life_; // guards loop_ itself against a close() on another thread
    std::unique_ptr<Loop> loop_;
    void closeLocked();
};
