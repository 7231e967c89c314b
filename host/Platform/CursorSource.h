#pragma once
#include <QImage>
#include <QPoint>
#include <cstdint>

// The pointer's position and shape.
class CursorSource {
public:
    struct Shape {
        uint64_t serial = 0; // changes whenever the shape changes
        QImage image;
        QPoint hotspot;
    };
    virtual ~CursorSource() = default;
    virtual QPoint position() = 0;
    virtual Shape shape() = 0;
};
