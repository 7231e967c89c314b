#pragma once
#include "Platform/CursorSource.h"

class FakeCursorSource : public CursorSource {
public:
    QRect bounds { 0, 0, 1920, 1080 };
    std::optional<QPoint> pos = QPoint(0, 0);
    std::optional<Shape> current;
    int shapeReads = 0;

    QRect mainDisplayBounds() override { return bounds; }
    std::optional<QPoint> position() override { return pos; }
    std::optional<Shape> shape() override
    {
        ++shapeReads;
        return current;
    }
};
