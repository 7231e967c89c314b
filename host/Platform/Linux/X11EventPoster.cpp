#include "Platform/Linux/X11EventPoster.h"

#include "Platform/Linux/Keysyms.h"
#include "Platform/Linux/X11Support.h"
#include "Platform/Linux/XSettings.h"

#include <QLoggingCategory>
#include <QRandomGenerator>

#include <xcb/xtest.h>

#include <algorithm>

namespace {
Q_LOGGING_CATEGORY(inputLog, "orbel.input")

// Spare keycodes kept for typing: enough for one piece of text with every character different.
constexpr size_t kMaxSpares = 32;
constexpr int kDefaultDoubleClickMs = 400;
// The desktop's double-click time is read again after this long.
constexpr int kSettingsCacheMs = 5000;

uint32_t mediaKeysym(EventPoster::MediaKey key)
{
    switch (key) {
    case EventPoster::MediaKey::PlayPause:
        return 0x1008FF14; // XF86AudioPlay
    case EventPoster::MediaKey::Next:
        return 0x1008FF17; // XF86AudioNext
    case EventPoster::MediaKey::Previous:
        return 0x1008FF16; // XF86AudioPrev
    case EventPoster::MediaKey::VolumeUp:
        return 0x1008FF13; // XF86AudioRaiseVolume
    case EventPoster::MediaKey::VolumeDown:
        return 0x1008FF11; // XF86AudioLowerVolume
    case EventPoster::MediaKey::Mute:
        return 0x1008FF12; // XF86AudioMute
    }
    return 0;
}
} // namespace

X11EventPoster::X11EventPoster(QByteArray display)
    : displayName_(std::move(display))
    , focusPing_(displayName_)
    , serialBase_(QRandomGenerator::global()->generate())
{
    resume_.setSingleShot(true);
    restore_.setSingleShot(true);
    QObject::connect(&resume_, &QTimer::timeout, [this] {
        qCWarning(inputLog) << "the focused application did not answer in" << kPingAnswerMs
                            << "ms: typing goes on, and may type wrong characters if it is still busy";
        read_ = batch_;
        waiting_ = false;
        drain();
    });
    QObject::connect(&restore_, &QTimer::timeout, [this] {
        post([this] {
            // Emptied while a press is unread, a spare would type nothing.
            if (read_ < batch_ && !lastBatchAt_.hasExpired(kPingAnswerMs))
                restore_.start(kRestoreAfterMs);
            else
                restoreSpares();
        });
    });
    focusPing_.onAnswer = [this](uint32_t serial) { answered(serial - serialBase_); };
    connect();
}

X11EventPoster::~X11EventPoster()
{
    if (!connection_)
        return;
    restoreSpares();
    xcb_flush(connection_);
    xcb_disconnect(connection_);
}

bool X11EventPoster::connect()
{
    connection_ = x11::connect(displayName_, "input", root_, &screen_);
    if (!connection_)
        return false;
    hasTest_ = x11::extension(connection_, &xcb_test_id) != nullptr;
    if (!hasTest_)
        qCWarning(inputLog) << "the X server has no XTEST extension: input cannot be posted";
    display_.attach(connection_, root_);
    readKeyboardMap();
    return true;
}

void X11EventPoster::readKeyboardMap()
{
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    minKeycode_ = setup->min_keycode;
    maxKeycode_ = setup->max_keycode;
    const int count = maxKeycode_ - minKeycode_ + 1;
    x11::Reply map(xcb_get_keyboard_mapping_reply(connection_, xcb_get_keyboard_mapping(connection_, minKeycode_, count), nullptr));
    if (!map)
        return;
    keysymsPerKeycode_ = map->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.p);
    keysyms_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(map.p));

    // Keycodes with no keysym at all, from the top: the least likely to be on a real keyboard.
    spares_.clear();
    for (int code = maxKeycode_; code >= minKeycode_ && spares_.size() < kMaxSpares; --code) {
        const auto first = keysyms_.begin() + (code - minKeycode_) * keysymsPerKeycode_;
        if (std::all_of(first, first + keysymsPerKeycode_, [](uint32_t s) { return s == 0; }))
            spares_.push_back(Spare { xcb_keycode_t(code) });
    }
    if (spares_.empty())
        qCWarning(inputLog) << "no unused keycode: text cannot be typed";
}

std::optional<xcb_keycode_t> X11EventPoster::keycodeFor(uint32_t keysym) const
{
    if (keysymsPerKeycode_ == 0)
        return std::nullopt;
    for (size_t i = 0; i < keysyms_.size(); i += keysymsPerKeycode_)
        if (keysyms_[i] == keysym)
            return xcb_keycode_t(minKeycode_ + i / keysymsPerKeycode_);
    return std::nullopt;
}

void X11EventPoster::post(std::function<void()> op)
{
    if (!usable())
        return;
    if (waiting_ || !queue_.empty()) {
        queue_.push_back(std::move(op));
        return;
    }
    op();
    xcb_flush(connection_);
}

void X11EventPoster::drain()
{
    while (!waiting_ && !queue_.empty()) {
        auto op = std::move(queue_.front());
        queue_.pop_front();
        op();
    }
    if (queue_.empty())
        queuedPointer_.reset();
    if (connection_)
        xcb_flush(connection_);
}

void X11EventPoster::fake(uint8_t type, uint8_t detail, int16_t x, int16_t y)
{
    xcb_test_fake_input(connection_, type, detail, XCB_CURRENT_TIME, root_, x, y, 0);
}

QRect X11EventPoster::mainDisplayBounds()
{
    if (!connection_)
        return {};
    // RandR's are the only events this connection asks for.
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        display_.handle(event);
        std::free(event);
    }
    return display_.bounds();
}

QPoint X11EventPoster::pointerPosition()
{
    // A move still waiting behind typing is where the pointer is about to be.
    if (queuedPointer_)
        return *queuedPointer_;
    if (!connection_)
        return {};
    x11::Reply pointer(xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr));
    return pointer ? QPoint(pointer->root_x, pointer->root_y) : QPoint();
}

void X11EventPoster::moveTo(QPoint p)
{
    const int16_t x = int16_t(std::clamp(p.x(), -32768, 32767));
    const int16_t y = int16_t(std::clamp(p.y(), -32768, 32767));
    if (waiting_ || !queue_.empty())
        queuedPointer_ = QPoint(x, y);
    post([this, x, y] { fake(XCB_MOTION_NOTIFY, 0, x, y); });
}

void X11EventPoster::button(Button which, bool down)
{
    const uint8_t number = which == Button::Left ? 1 : which == Button::Middle ? 2 : 3;
    post([this, number, down] { fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, number); });
}

void X11EventPoster::scroll(int dx, int dy)
{
    // Buttons 4/5 scroll up/down, 6/7 left/right; one press and release per click.
    post([this, dx, dy] {
        const auto clicks = [this](int count, uint8_t positive, uint8_t negative) {
            for (int i = 0; i < std::abs(count); ++i) {
                fake(XCB_BUTTON_PRESS, count > 0 ? positive : negative);
                fake(XCB_BUTTON_RELEASE, count > 0 ? positive : negative);
            }
        };
        clicks(dy, 4, 5);
        clicks(dx, 6, 7);
    });
}

void X11EventPoster::key(uint32_t evdevCode, bool down)
{
    const uint32_t keycode = evdevCode + 8;
    if (keycode < minKeycode_ || keycode > maxKeycode_)
        return;
    post([this, keycode, down] { fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, uint8_t(keycode)); });
}

void X11EventPoster::typeText(const QString& text)
{
    QString plain = text;
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    std::vector<uint32_t> syms;
    for (const char32_t c : plain.toUcs4())
        if (const uint32_t sym = keysyms::forCharacter(c))
            syms.push_back(sym);
    if (!syms.empty())
        post([this, syms = std::move(syms)] { typeKeysyms(syms); });
}

void X11EventPoster::mediaKey(MediaKey which, bool down)
{
    const uint32_t sym = mediaKeysym(which);
    if (const auto keycode = keycodeFor(sym)) {
        post([this, code = *keycode, down] { fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code); });
        return;
    }
    // Not on this keyboard: a spare keycode presses and releases it in one go.
    if (down)
        post([this, sym] { typeKeysyms({ sym }); });
}

void X11EventPoster::typeKeysyms(const std::vector<uint32_t>& syms)
{
    size_t from = 0;
    while (from < syms.size()) {
        const size_t typed = typeBatch(syms, from);
        from += typed;
        if (typed > 0)
            continue;
        if (spares_.empty()) {
            qCWarning(inputLog) << "dropped" << syms.size() - from << "characters: no keycode to type them with";
            return;
        }
        // Every spare still waits for the client to read its last press: carry on once it has.
        std::vector<uint32_t> rest(syms.begin() + from, syms.end());
        queue_.push_front([this, rest = std::move(rest)] { typeKeysyms(rest); });
        waiting_ = true;
        resume_.start(kPingAnswerMs);
        return;
    }
}

size_t X11EventPoster::typeBatch(const std::vector<uint32_t>& syms, size_t from)
{
    const size_t maxRemaps = std::max<size_t>(1, spares_.size() / 2);
    std::vector<xcb_keycode_t> codes;
    std::vector<xcb_keycode_t> remapped;
    std::vector<Spare*> taken;
    size_t i = from;
    for (; i < syms.size(); ++i) {
        auto found = std::find_if(spares_.begin(), spares_.end(), [&](const Spare& s) { return s.keysym == syms[i]; });
        if (found == spares_.end()) {
            if (remapped.size() == maxRemaps)
                break;
            // The least recently used spare that is free and that this batch has not taken yet.
            Spare* pick = nullptr;
            for (Spare& s : spares_)
                if (isFree(s) && std::find(taken.begin(), taken.end(), &s) == taken.end() && (!pick || s.used < pick->used))
                    pick = &s;
            if (!pick)
                break;
            setSpare(*pick, syms[i]);
            remapped.push_back(pick->keycode);
            found = spares_.begin() + (pick - spares_.data());
        }
        found->used = ++useClock_;
        taken.push_back(&*found);
        codes.push_back(found->keycode);
    }
    if (codes.empty())
        return 0;
    writeSpares(std::move(remapped));
    ++batch_;
    for (Spare* spare : taken)
        spare->pressed = batch_;
    for (const xcb_keycode_t code : codes) {
        fake(XCB_KEY_PRESS, code);
        fake(XCB_KEY_RELEASE, code);
    }
    lastBatchAt_.start();
    restore_.start(kRestoreAfterMs);
    askRead(int(remapped.size()));
    return i - from;
}

void X11EventPoster::askRead(int remapped)
{
    const uint32_t batch = batch_;
    if (focusPing_.send(connection_, root_, serialBase_ + batch))
        return;
    QTimer::singleShot(kRemapPauseMs * std::max(remapped, 1), &resume_, [this, batch] { answered(batch); });
}

void X11EventPoster::answered(uint32_t batch)
{
    if (batch <= read_ || batch > batch_)
        return;
    read_ = batch;
    if (waiting_) {
        waiting_ = false;
        resume_.stop();
        drain();
    }
}

void X11EventPoster::writeSpares(std::vector<xcb_keycode_t> keycodes)
{
    const auto isSpare = [this](int code) {
        return std::any_of(spares_.begin(), spares_.end(), [code](const Spare& s) { return s.keycode == code; });
    };
    std::sort(keycodes.begin(), keycodes.end());
    for (size_t i = 0; i < keycodes.size();) {
        const xcb_keycode_t first = keycodes[i];
        xcb_keycode_t last = first;
        // Join the next changed keycode when only spares lie between: they are written unchanged.
        for (++i; i < keycodes.size(); ++i) {
            bool bridged = true;
            for (int code = last + 1; code < keycodes[i] && bridged; ++code)
                bridged = isSpare(code);
            if (!bridged)
                break;
            last = keycodes[i];
        }
        const auto* row = keysyms_.data() + (first - minKeycode_) * keysymsPerKeycode_;
        xcb_change_keyboard_mapping(connection_, uint8_t(last - first + 1), first, uint8_t(keysymsPerKeycode_), row);
    }
}

void X11EventPoster::setSpare(Spare& spare, uint32_t keysym)
{
    // The same keysym in every column, so Shift or a layout group cannot change what it types.
    std::fill_n(keysyms_.begin() + (spare.keycode - minKeycode_) * keysymsPerKeycode_, keysymsPerKeycode_, keysym);
    spare.keysym = keysym;
}

void X11EventPoster::restoreSpares()
{
    std::vector<xcb_keycode_t> emptied;
    for (Spare& spare : spares_)
        if (spare.keysym != 0) {
            setSpare(spare, 0);
            emptied.push_back(spare.keycode);
        }
    writeSpares(std::move(emptied));
}

unsigned X11EventPoster::heldModifiers()
{
    if (!connection_)
        return 0;
    x11::Reply pointer(xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr));
    if (!pointer)
        return 0;
    unsigned bits = 0;
    if (pointer->mask & XCB_MOD_MASK_SHIFT)
        bits |= Shift;
    if (pointer->mask & XCB_MOD_MASK_CONTROL)
        bits |= Control;
    if (pointer->mask & XCB_MOD_MASK_1)
        bits |= Alt;
    if (pointer->mask & XCB_MOD_MASK_4)
        bits |= Meta;
    return bits;
}

int X11EventPoster::doubleClickIntervalMs()
{
    // The desktop's setting when a settings daemon publishes one that makes sense.
    if (connection_ && (!doubleClickReadAt_.isValid() || doubleClickReadAt_.hasExpired(kSettingsCacheMs))) {
        const auto ms = x11::readXSettingsInt(connection_, screen_, "Net/DoubleClickTime");
        doubleClickMs_ = ms && *ms > 0 && *ms <= 5000 ? *ms : kDefaultDoubleClickMs;
        doubleClickReadAt_.start();
    }
    return doubleClickMs_;
}

std::optional<bool> X11EventPoster::keyRepeat()
{
    if (!connection_)
        return std::nullopt;
    x11::Reply control(xcb_get_keyboard_control_reply(connection_, xcb_get_keyboard_control(connection_), nullptr));
    if (!control)
        return std::nullopt;
    return control->global_auto_repeat == XCB_AUTO_REPEAT_MODE_ON;
}

void X11EventPoster::setKeyRepeat(bool on)
{
    if (!connection_)
        return;
    const uint32_t mode = on ? XCB_AUTO_REPEAT_MODE_ON : XCB_AUTO_REPEAT_MODE_OFF;
    xcb_change_keyboard_control(connection_, XCB_KB_AUTO_REPEAT_MODE, &mode);
    xcb_flush(connection_);
}
