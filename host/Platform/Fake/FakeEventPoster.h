#pragma once
#include "Platform/EventPoster.h"
#include <QStringList>

// Records every posted event as a readable line.
class FakeEventPoster : public EventPoster {
public:
    QRect bounds { 0, 0, 1920, 1080 };
    QPoint pointer;
    int doubleClickMs = 400;
    QStringList events;

    QRect mainDisplayBounds() override { return bounds; }
    QPoint pointerPosition() override { return pointer; }
    void moveTo(QPoint p) override { pointer = p; events << QStringLiteral("move %1,%2").arg(p.x()).arg(p.y()); }
    void button(Button b, bool down) override { events << QStringLiteral("button %1 %2").arg(int(b)).arg(down ? "down" : "up"); }
    void scroll(int dx, int dy) override { events << QStringLiteral("scroll %1,%2").arg(dx).arg(dy); }
    void key(uint32_t code, bool down) override { events << QStringLiteral("key %1 %2").arg(code).arg(down ? "down" : "up"); }
    void typeText(const QString& text) override { events << QStringLiteral("type %1").arg(text); }
    void mediaKey(MediaKey k, bool down) override { events << QStringLiteral("media %1 %2").arg(int(k)).arg(down ? "down" : "up"); }
    int doubleClickIntervalMs() override { return doubleClickMs; }
};
