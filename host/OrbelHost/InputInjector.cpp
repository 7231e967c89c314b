#include "OrbelHost/InputInjector.h"

#include "OrbelHost/Log.h"

#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
// evdev codes of the left modifier keys, pressed for "mods".
constexpr uint32_t kShiftKey = 42;
constexpr uint32_t kControlKey = 29;
constexpr uint32_t kAltKey = 56;
constexpr uint32_t kMetaKey = 125;

// A JSON number (or Boolean, as 1 or 0) that is finite; anything else has no value.
std::optional<double> number(const QJsonObject& message, const QString& field)
{
    const QJsonValue value = message.value(field);
    if (value.isBool())
        return value.toBool() ? 1.0 : 0.0;
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        return std::nullopt;
    return value.toDouble();
}

std::optional<bool> boolean(const QJsonObject& message, const QString& field)
{
    const QJsonValue value = message.value(field);
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

std::optional<int> integer(const QJsonObject& message, const QString& field)
{
    const QJsonValue value = message.value(field);
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(d);
}

// "mods" → modifier bits; anything but an object of Booleans adds nothing.
unsigned modifiers(const QJsonObject& message)
{
    const QJsonObject mods = message.value(QStringLiteral("mods")).toObject();
    unsigned bits = 0;
    const std::pair<const char*, unsigned> names[] = {
        { "shift", EventPoster::Shift }, { "ctrl", EventPoster::Control },
        { "alt", EventPoster::Alt }, { "meta", EventPoster::Meta },
    };
    for (const auto& [name, bit] : names)
        if (mods.value(QLatin1String(name)) == QJsonValue(true))
            bits |= bit;
    return bits;
}

EventPoster::Button buttonOf(int b)
{
    switch (b) {
    case 1:
        return EventPoster::Button::Middle;
    case 2:
        return EventPoster::Button::Right;
    default:
        return EventPoster::Button::Left;
    }
}

// Doubles far outside any screen become a far but finite point before rounding.
int toCoordinate(double v)
{
    return int(std::lround(std::clamp(v, -1e9, 1e9)));
}
} // namespace

InputInjector::InputInjector(std::unique_ptr<EventPoster> poster)
    : poster_(std::move(poster))
{
    clock_.start();
}

void InputInjector::handle(const QJsonObject& message, const QString& owner)
{
    const QJsonValue t = message.value(QStringLiteral("t"));
    if (!t.isString())
        return;
    const QString type = t.toString();
    if (type == QStringLiteral("abs")) {
        const auto x = number(message, QStringLiteral("x"));
        const auto y = number(message, QStringLiteral("y"));
        if (!x || !y)
            return;
        const QRect display = poster_->mainDisplayBounds();
        moveTo(display.x() + display.width() * *x, display.y() + display.height() * *y);
    } else if (type == QStringLiteral("rel")) {
        const auto dx = number(message, QStringLiteral("dx"));
        const auto dy = number(message, QStringLiteral("dy"));
        if (!dx || !dy)
            return;
        const QPoint at = poster_->pointerPosition();
        moveTo(at.x() + *dx, at.y() + *dy);
    } else if (type == QStringLiteral("btn")) {
        const auto b = integer(message, QStringLiteral("b"));
        const auto d = boolean(message, QStringLiteral("d"));
        if (b && d)
            button(buttonOf(*b), *d, modifiers(message), owner);
    } else if (type == QStringLiteral("wheel")) {
        wheel(number(message, QStringLiteral("dx")).value_or(0), number(message, QStringLiteral("dy")).value_or(0));
    } else if (type == QStringLiteral("key")) {
        const QJsonValue code = message.value(QStringLiteral("code"));
        const auto d = boolean(message, QStringLiteral("d"));
        if (code.isString() && d)
            key(code.toString(), *d, modifiers(message), owner);
    } else if (type == QStringLiteral("text")) {
        const QJsonValue s = message.value(QStringLiteral("s"));
        if (s.isString())
            text(s.toString());
    } else if (type == QStringLiteral("media")) {
        const QJsonValue k = message.value(QStringLiteral("k"));
        if (k.isString())
            media(k.toString());
    }
}

void InputInjector::moveTo(double x, double y)
{
    // One pixel inside the right and bottom edges, so the pointer stays on the main display.
    const QRect display = poster_->mainDisplayBounds();
    const int px = std::clamp(toCoordinate(x), display.left(), std::max(display.left(), display.right()));
    const int py = std::clamp(toCoordinate(y), display.top(), std::max(display.top(), display.bottom()));
    poster_->moveTo(QPoint(px, py));
}

void InputInjector::button(EventPoster::Button which, bool down, unsigned mods, const QString& owner)
{
    if (!down) {
        if (buttons_.count(which))
            releaseButton(which);
        return;
    }
    const qint64 now = clock_.elapsed();
    const QPoint at = poster_->pointerPosition();
    if (lastDown_ && lastDown_->button == which && now - lastDown_->at < poster_->doubleClickIntervalMs()
        && std::hypot(lastDown_->point.x() - at.x(), lastDown_->point.y() - at.y()) < kClickSlop)
        clickCount_ = std::min(clickCount_ + 1, 3);
    else
        clickCount_ = 1;
    lastDown_ = Down { which, now, at };
    if (buttons_.count(which)) {
        // Already down (its release was lost): the desktop gets no second press.
        buttons_[which].owner = owner;
        return;
    }
    // Modifiers stay down with the button, so a shift-drag stays a shift-drag.
    buttons_[which] = Held { owner, mods ? pressModifiers(mods) : QList<uint32_t> {} };
    poster_->button(which, true);
}

void InputInjector::releaseButton(EventPoster::Button which)
{
    const Held held = buttons_[which];
    buttons_.erase(which);
    poster_->button(which, false);
    releaseKeys(held.modifiers);
}

void InputInjector::key(const QString& code, bool down, unsigned mods, const QString& owner)
{
    if (isModifierName(code))
        return;
    const auto found = keyCodes().constFind(code);
    if (found == keyCodes().constEnd())
        return;
    const uint32_t evdev = *found;
    if (down)
        keys_[evdev] = owner;
    else
        keys_.erase(evdev);
    // A "rep" press is one more press without a release, which the desktop takes as a repeat
    // (its own repeat is off while phones are connected).
    const QList<uint32_t> added = down && mods ? pressModifiers(mods) : QList<uint32_t> {};
    poster_->key(evdev, down);
    releaseKeys(added);
}

void InputInjector::tap(uint32_t evdevCode, unsigned mods)
{
    const QList<uint32_t> added = mods ? pressModifiers(mods) : QList<uint32_t> {};
    poster_->key(evdevCode, true);
    poster_->key(evdevCode, false);
    releaseKeys(added);
}

QList<uint32_t> InputInjector::pressModifiers(unsigned mods)
{
    const unsigned down = poster_->heldModifiers();
    const std::pair<unsigned, uint32_t> keys[] = {
        { EventPoster::Control, kControlKey }, { EventPoster::Alt, kAltKey },
        { EventPoster::Shift, kShiftKey }, { EventPoster::Meta, kMetaKey },
    };
    QList<uint32_t> pressed;
    for (const auto& [bit, evdev] : keys)
        if ((mods & bit) && !(down & bit)) {
            poster_->key(evdev, true);
            pressed << evdev;
        }
    return pressed;
}

void InputInjector::releaseKeys(const QList<uint32_t>& keys)
{
    for (auto it = keys.crbegin(); it != keys.crend(); ++it)
        poster_->key(*it, false);
}

int InputInjector::wheelClicks(double pixels, double& rest)
{
    // Halves away from zero, as the phone's pixel deltas are meant; beyond 32 bits is clamped.
    const double rounded = std::round(std::clamp(pixels, -2147483648.0, 2147483647.0));
    if ((rounded > 0 && rest < 0) || (rounded < 0 && rest > 0))
        rest = 0; // a change of direction starts afresh
    rest += rounded;
    const double clicks = std::trunc(rest / kWheelPixelsPerClick);
    rest -= clicks * kWheelPixelsPerClick;
    if (std::fabs(clicks) > kMaxWheelClicks) {
        rest = 0;
        return clicks > 0 ? kMaxWheelClicks : -kMaxWheelClicks;
    }
    return int(clicks);
}

void InputInjector::wheel(double dx, double dy)
{
    const int x = wheelClicks(dx, wheelRestX_);
    const int y = wheelClicks(dy, wheelRestY_);
    if (x || y)
        poster_->scroll(x, y);
}

QStringList InputInjector::chunks(const QString& text, int units)
{
    QStringList out;
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype n = std::min<qsizetype>(units, text.size() - at);
        // A piece never ends between the halves of a surrogate pair (nor is it ever empty).
        if (at + n < text.size() && text.at(at + n - 1).isHighSurrogate())
            n += n > 1 ? -1 : 1;
        out << text.mid(at, n);
        at += n;
    }
    return out;
}

void InputInjector::text(const QString& s)
{
    QString typed = s;
    if (typed.size() > kMaxTextUnits) {
        typed = chunks(typed, kMaxTextUnits).constFirst();
        qCWarning(hostLog) << "text of" << s.size() << "UTF-16 units cut to" << typed.size();
    }
    for (const QString& chunk : chunks(typed, kTextChunkUnits))
        poster_->typeText(chunk);
}

void InputInjector::media(const QString& name)
{
    static const QHash<QString, EventPoster::MediaKey> keys {
        { QStringLiteral("volup"), EventPoster::MediaKey::VolumeUp },
        { QStringLiteral("voldown"), EventPoster::MediaKey::VolumeDown },
        { QStringLiteral("mute"), EventPoster::MediaKey::Mute },
        { QStringLiteral("play"), EventPoster::MediaKey::PlayPause },
        { QStringLiteral("next"), EventPoster::MediaKey::Next },
        { QStringLiteral("prev"), EventPoster::MediaKey::Previous },
    };
    const auto found = keys.constFind(name);
    if (found == keys.constEnd())
        return;
    poster_->mediaKey(*found, true);
    poster_->mediaKey(*found, false);
}

void InputInjector::releaseAll()
{
    while (!buttons_.empty())
        releaseButton(buttons_.begin()->first);
    for (const auto& [evdev, owner] : keys_)
        poster_->key(evdev, false);
    keys_.clear();
}

void InputInjector::releaseHeldBy(const QString& owner)
{
    for (auto it = buttons_.begin(); it != buttons_.end();) {
        const auto which = it->first;
        ++it;
        if (buttons_[which].owner == owner)
            releaseButton(which);
    }
    for (auto it = keys_.begin(); it != keys_.end();) {
        if (it->second == owner) {
            poster_->key(it->first, false);
            it = keys_.erase(it);
        } else {
            ++it;
        }
    }
}
