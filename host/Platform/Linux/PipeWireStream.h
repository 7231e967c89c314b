#pragma once
// A consumer of one PipeWire video stream (a compositor's screen cast): it negotiates BGRx/BGRA
// in shared memory with cursor metadata, and keeps the newest frame and cursor for a reader on
// another thread. PipeWire's own thread does the receiving; buffers go back to it at once.

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
        QImage shape;         // ARGB32, only when `shapeSerial` changed
        uint64_t shapeSerial = 0;
    };
    enum class State { Connecting, Streaming, Ended };

    PipeWireStream();
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Connects to the session's PipeWire daemon and to `node`; false with errorString().
    bool open(uint32_t node);
    void close();

    State state() const;
    QString errorString() const;
    // Copies the newest frame into `frame` when it is newer than `frame.serial`; false otherwise.
    bool takeFrame(Frame& frame) const;
    Cursor cursor() const;

private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
};
