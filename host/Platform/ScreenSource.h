#pragma once
#include <QRect>
#include <QSize>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

// The pixels of the main display. Every call after open() comes from the thread that called
// open(), so an implementation may keep a display connection that belongs to that thread.
class ScreenSource {
public:
    // A view of the source's own buffer, valid until the next grab() or close().
    struct Image {
        int width = 0;
        int height = 0;
        int stride = 0;                // bytes per row
        const uint8_t* bgra = nullptr; // 32-bit pixels, B G R X in memory
        // What may differ from the previous grab's image, in this image's coordinates; empty
        // when nothing on it changed. nullopt when not known: take it all as new.
        std::optional<std::vector<QRect>> changed = std::nullopt;
    };

    // What happened on the display since the last grab (or since open()).
    enum class Change {
        None,     // nothing: a grab would give the same image
        Content,  // pixels changed: grab
        Geometry, // the main display changed size: close and open again
        Lost,     // the display went away: close and open again
    };

    virtual ~ScreenSource() = default;
    // Connects and finds the main display; false with errorString() set when it cannot.
    virtual bool open() = 0;
    virtual void close() = 0;
    // Pixel size of the main display as found by open(); empty when there is none.
    virtual QSize displaySize() const = 0;
    // Takes in pending display events. The first call after open() reports Content.
    virtual Change poll() = 0;
    // nullopt when the display can no longer be read.
    virtual std::optional<Image> grab() = 0;
    // Why the last open() failed, or why poll() reported Geometry or Lost.
    virtual QString errorString() const = 0;
};
