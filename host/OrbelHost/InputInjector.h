#pragma once
// Turns the phones' input messages into desktop input. One injector serves every phone, so it
// remembers what is held down, and by whom, and can release it when a phone or the last phone
// leaves. It also counts clicks, so quick repeated presses read as double and triple clicks.

#include "Platform/EventPoster.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <map>
#include <memory>
#include <optional>

class InputInjector {
public:
    explicit InputInjector(std::unique_ptr<EventPoster> poster);

    // W3C KeyboardEvent.code names → Linux evdev codes, the 92 keys a phone may press.
    static const QHash<QString, uint32_t>& keyCodes();
    // Modifier key names: modifiers arrive as "mods" on other events, never as keys.
    static bool isModifierName(const QString& code);

    // Wheel pixels per wheel click: about what the common toolkits scroll for one notch.
    static constexpr int kWheelPixelsPerClick = 50;
    // Clicks one message may scroll at most, whatever it says.
    static constexpr int kMaxWheelClicks = 40;
    // UTF-16 units typed per "text" message; the rest is dropped, so a huge paste cannot
    // keep the desktop typing for minutes.
    static constexpr int kMaxTextUnits = 10000;
    // Units typed as one piece.
    static constexpr int kTextChunkUnits = 20;
    // Presses closer than this (points) and quicker than the double-click interval add up.
    static constexpr double kClickSlop = 6.0;

    // One input message ("t" other than a command) from the phone `owner`; main thread only.
    void handle(const QJsonObject& message, const QString& owner = {});
    // Presses and releases one key with modifiers, for the host's own shortcuts.
    void tap(uint32_t evdevCode, unsigned modifiers);
    // Lifts every key and button this injector pressed.
    void releaseAll();
    // Lifts what `owner` pressed and still holds.
    void releaseHeldBy(const QString& owner);

    EventPoster& poster() { return *poster_; }
    // Click state of the most recent press (1 to 3).
    int clickCount() const { return clickCount_; }
    bool holdsAnything() const { return !keys_.empty() || !buttons_.empty(); }

    // Cuts text into pieces of at most `units` UTF-16 units without splitting a surrogate pair.
    static QStringList chunks(const QString& text, int units);

private:
    struct Held {
        QString owner;
        // Modifier keys pressed for this button's press and held until it is released.
        QList<uint32_t> modifiers;
    };

    void moveTo(double x, double y);
    void button(EventPoster::Button button, bool down, unsigned modifiers, const QString& owner);
    void key(const QString& code, bool down, unsigned modifiers, const QString& owner);
    void wheel(double dx, double dy);
    void text(const QString& s);
    void media(const QString& name);
    // Presses the modifier keys in `modifiers` that are not down yet; returns what it pressed.
    QList<uint32_t> pressModifiers(unsigned modifiers);
    void releaseKeys(const QList<uint32_t>& keys);
    void releaseButton(EventPoster::Button button);
    static int wheelClicks(double pixels, double& rest);

    std::unique_ptr<EventPoster> poster_;
    std::map<uint32_t, QString> keys_; // held key → who pressed it
    std::map<EventPoster::Button, Held> buttons_;

    struct Down {
        EventPoster::Button button;
        qint64 at;
        QPoint point;
    };
    std::optional<Down> lastDown_;
    int clickCount_ = 1;
    QElapsedTimer clock_;
    double wheelRestX_ = 0;
    double wheelRestY_ = 0;
};
