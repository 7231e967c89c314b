#pragma once
#include <QImage>
#include <QPoint>
#include <QRect>
#include <cstdint>
#include <optional>

// The pointer's position and shape. Calls never wait on the desktop: they answer with what
// is known now, which may be a moment old.
class CursorSource {
public:
    struct Shape {
        uint64_t serial = 0; // changes whenever the shape changes
        QImage image;        // one pixel per point
        QPoint hotspot;
    };
    virtual ~CursorSource() = default;
    virtual QRect mainDisplayBounds() = 0;
    // Where the pointer is, in the desktop's coordinates; nullopt while unknown.
    virtual std::optional<QPoint> position() = 0;
    // The current shape; nullopt while unknown.
    virtual std::optional<Shape> shape() = 0;
};
