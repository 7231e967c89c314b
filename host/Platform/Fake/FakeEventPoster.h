#pragma once
#include "Platform/EventPoster.h"

#include <QSet>
#include <QStringList>

// Records every posted event as a readable line ("key 30 down", "button left up", "type héllo").
class FakeEventPoster : public EventPoster {
public:
    QRect bounds { 0, 0, 1920, 1080 };
    QPoint pointer;
    int doubleClickMs = 400;
    // Modifiers the user holds on the real keyboard.
    unsigned userModifiers = 0;
    std::optional<bool> repeat = true;
    QStringList events;
    QSet<uint32_t> down;

    QRect mainDisplayBounds() override { return bounds; }
    QPoint pointerPosition() override { return pointer; }
    void moveTo(QPoint p) override
    {
        pointer = p;
        events << QStringLiteral("move %1,%2").arg(p.x()).arg(p.y());
    }
    void button(Button b, bool isDown) override
    {
        static const char* names[] = { "left", "middle", "right" };
        events << QStringLiteral("button %1 %2").arg(QLatin1String(names[int(b)]), isDown ? "down" : "up");
    }
    void scroll(int dx, int dy) override { events << QStringLiteral("scroll %1,%2").arg(dx).arg(dy); }
    void key(uint32_t code, bool isDown) override
    {
        if (isDown)
            down.insert(code);
        else
            down.remove(code);
        events << QStringLiteral("key %1 %2").arg(code).arg(isDown ? "down" : "up");
    }
    void typeText(const QString& text) override { events << QStringLiteral("type %1").arg(text); }
    void mediaKey(MediaKey k, bool isDown) override
    {
        events << QStringLiteral("media %1 %2").arg(int(k)).arg(isDown ? "down" : "up");
    }
    unsigned heldModifiers() override
    {
        unsigned bits = userModifiers;
        const std::pair<uint32_t, unsigned> keys[] = { { 42, Shift }, { 29, Control }, { 56, Alt }, { 125, Meta } };
        for (const auto& [code, bit] : keys)
            if (down.contains(code))
                bits |= bit;
        return bits;
    }
    int doubleClickIntervalMs() override { return doubleClickMs; }
    std::optional<bool> keyRepeat() override { return repeat; }
    void setKeyRepeat(bool on) override { repeat = on; }
};
