#pragma once
#include <QPoint>
#include <QRect>
#include <QString>
#include <cstdint>

// Posts synthetic input to the desktop. Positions are in screen pixels.
class EventPoster {
public:
    enum class Button { Left, Right, Middle };
    enum class MediaKey { PlayPause, Next, Previous, VolumeUp, VolumeDown, Mute };
    virtual ~EventPoster() = default;
    virtual QRect mainDisplayBounds() = 0;
    virtual QPoint pointerPosition() = 0;
    virtual void moveTo(QPoint position) = 0;
    virtual void button(Button button, bool down) = 0;
    // Wheel steps: dy > 0 scrolls up, dx > 0 scrolls left.
    virtual void scroll(int dx, int dy) = 0;
    // A key by its platform key code (evdev code on Linux).
    virtual void key(uint32_t keyCode, bool down) = 0;
    // Types text independent of the keyboard layout.
    virtual void typeText(const QString& text) = 0;
    virtual void mediaKey(MediaKey key, bool down) = 0;
    virtual int doubleClickIntervalMs() = 0;
};
