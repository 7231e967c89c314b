#pragma once
#include <QByteArray>
#include <QRect>
#include <cstdint>
#include <optional>

// Raw pixels of the main display.
class ScreenSource {
public:
    struct Image {
        int width = 0;
        int height = 0;
        int stride = 0;      // bytes per row
        QByteArray bgra;     // 32-bit BGRA rows
    };
    virtual ~ScreenSource() = default;
    virtual bool open() = 0;
    virtual void close() = 0;
    // The main display's rectangle within the whole screen; empty when no display is open.
    virtual QRect mainDisplayBounds() = 0;
    // True when anything on the main display changed since the last grab.
    virtual bool changedSinceLastGrab() = 0;
    virtual std::optional<Image> grab() = 0;
};
