#include "OrbelHost/CaptureGeometry.h"

#include <cstdint>

QSize captureSize(QSize display)
{
    if (display.width() <= 0 || display.height() <= 0)
        return {};
    int width = display.width();
    int height = display.height();
    if (width > kMaxCaptureWidth) {
        // Exact integer arithmetic: in floating point, (2560 / 4183) × 4183 lands just below
        // 2560 and would lose a pixel.
        height = int(int64_t(height) * kMaxCaptureWidth / width);
        width = kMaxCaptureWidth;
    }
    const QSize size(width & ~1, height & ~1);
    return size.isEmpty() ? QSize() : size;
}
