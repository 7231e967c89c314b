#pragma once
#include "Platform/CursorSource.h"

class FakeCursorSource : public CursorSource {
public:
    QPoint pos;
    Shape current;
    QPoint position() override { return pos; }
    Shape shape() override { return current; }
};
