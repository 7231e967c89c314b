#pragma once
// The pointer on GNOME's Wayland session, from the screen cast's cursor metadata: its position
// comes with every buffer, its picture only when the shape changes.

#include "Platform/CursorSource.h"
#include "Platform/Linux/PipeWireStream.h"

#include <memory>

class WaylandCursorSource : public CursorSource {
public:
    explicit WaylandCursorSource(std::shared_ptr<PipeWireStream> stream)
        : stream_(std::move(stream))
    {
    }

    QRect mainDisplayBounds() override { return QRect(QPoint(0, 0), stream_->size()); }
    std::optional<QPoint> position() override
    {
        const PipeWireStream::Cursor cursor = stream_->cursor();
        return cursor.known ? std::optional<QPoint>(cursor.position) : std::nullopt;
    }
    std::optional<Shape> shape() override
    {
        const PipeWireStream::Cursor cursor = stream_->cursor();
        if (cursor.shape.isNull())
            return std::nullopt;
        return Shape { cursor.shapeSerial, cursor.shape, cursor.hotspot };
    }

private:
    std::shared_ptr<PipeWireStream> stream_;
};
