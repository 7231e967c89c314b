#pragma once
#include <QPoint>
#include <QRect>
#include <QString>
#include <cstdint>
#include <optional>

// Posts synthetic input to the desktop. Positions are in screen pixels; keys are Linux evdev
// codes (the same on every keyboard layout).
class EventPoster {
public:
    enum class Button { Left, Middle, Right };
    enum class MediaKey { PlayPause, Next, Previous, VolumeUp, VolumeDown, Mute };
    // Bits of heldModifiers().
    enum Modifier : unsigned { Shift = 1, Control = 2, Alt = 4, Meta = 8 };

    virtual ~EventPoster() = default;
    virtual QRect mainDisplayBounds() = 0;
    virtual QPoint pointerPosition() = 0;
    virtual void moveTo(QPoint position) = 0;
    virtual void button(Button button, bool down) = 0;
    // Wheel clicks: dy > 0 scrolls up, dx > 0 scrolls left.
    virtual void scroll(int dx, int dy) = 0;
    virtual void key(uint32_t evdevCode, bool down) = 0;
    // Types text independent of the keyboard layout, after everything posted before it.
    virtual void typeText(const QString& text) = 0;
    virtual void mediaKey(MediaKey key, bool down) = 0;
    // Modifier bits that are down on the desktop right now, whoever pressed them.
    virtual unsigned heldModifiers() = 0;
    virtual int doubleClickIntervalMs() = 0;
    // The desktop's own key auto-repeat; nullopt when it cannot be read.
    virtual std::optional<bool> keyRepeat() = 0;
    virtual void setKeyRepeat(bool on) = 0;
};
