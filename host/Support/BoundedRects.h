#pragma once
// A list of changed rectangles kept short: past `most`, the one rectangle around them all
// (drawing or copying a little more is cheaper than walking a long list).

#include <QRect>

#include <cstddef>
#include <vector>

inline void boundRects(std::vector<QRect>& rects, std::size_t most)
{
    if (rects.size() <= most)
        return;
    QRect around;
    for (const QRect& rect : rects)
        around |= rect;
    rects = { around };
}
