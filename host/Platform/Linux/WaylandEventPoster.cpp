#include "Platform/Linux/WaylandEventPoster.h"

#include "Platform/Linux/DesktopSettings.h"
#include "Platform/Linux/Keysyms.h"

#include <QLoggingCategory>

#include <xkbcommon/xkbcommon.h>

#include <memory>

namespace {
Q_LOGGING_CATEGORY(inputLog, "orbel.input")

constexpr int kDefaultDoubleClickMs = 400;
constexpr uint32_t kLeftControl = 29;
// The desktop's settings are read again after this long.
constexpr int kSettingsCacheMs = 5000;
constexpr const char* kInputSources = "org.gnome.desktop.input-sources";
constexpr const char* kKeyboard = "org.gnome.desktop.peripherals.keyboard";

unsigned modifierOf(uint32_t evdevCode)
{
    switch (evdevCode) {
    case 42: // left shift
    case 54: // right shift
        return EventPoster::Shift;
    case 29: // left control
    case 97: // right control
        return EventPoster::Control;
    case 56:  // left alt
    case 100: // right alt
        return EventPoster::Alt;
    case 125: // left meta
    case 126: // right meta
        return EventPoster::Meta;
    default:
        return 0;
    }
}

// The XKB layout GNOME uses now, as "layout" or "layout+variant", with its options after a
// newline: the most recently used XKB input source, else the first, else "us".
QString currentLayout()
{
    const auto sources = desktop_settings::readPairs(kInputSources, "sources").value_or(QList<QPair<QString, QString>> {});
    const auto recent = desktop_settings::readPairs(kInputSources, "mru-sources").value_or(QList<QPair<QString, QString>> {});
    QString layout;
    for (const auto& source : recent + sources) {
        if (source.first == QStringLiteral("xkb") && (sources.isEmpty() || sources.contains(source))) {
            layout = source.second;
            break;
        }
    }
    if (layout.isEmpty())
        layout = QStringLiteral("us");
    const QStringList options = desktop_settings::readStrings(kInputSources, "xkb-options").value_or(QStringList {});
    return layout + QLatin1Char('\n') + options.join(QLatin1Char(','));
}
} // namespace

WaylandEventPoster::WaylandEventPoster(std::shared_ptr<RemoteDesktopSession> session, std::shared_ptr<PipeWireStream> stream)
    : session_(std::move(session))
    , stream_(std::move(stream))
{
}

QRect WaylandEventPoster::mainDisplayBounds()
{
    return QRect(QPoint(0, 0), stream_->size());
}

QPoint WaylandEventPoster::pointerPosition()
{
    // The stream shows a move some frames later: right after one of ours, ours is where the
    // pointer is (relative moves in a row would otherwise start from stale places).
    if (movedAt_.isValid() && !movedAt_.hasExpired(kOwnMoveMs))
        return moved_;
    const PipeWireStream::Cursor cursor = stream_->cursor();
    return cursor.known ? cursor.position : moved_;
}

void WaylandEventPoster::post(std::function<void()> op)
{
    queue_.push_back(std::move(op));
    drain();
}

void WaylandEventPoster::drain()
{
    while (!waiting_ && !queue_.empty()) {
        auto op = std::move(queue_.front());
        queue_.pop_front();
        op();
    }
}

void WaylandEventPoster::moveTo(QPoint position)
{
    moved_ = position;
    movedAt_.start();
    post([this, position] { session_->pointerMotionAbsolute(position.x(), position.y()); });
}

void WaylandEventPoster::button(Button which, bool down)
{
    const int code = which == Button::Left ? kLeftButton : which == Button::Right ? kRightButton : kMiddleButton;
    post([this, code, down] { session_->pointerButton(code, down); });
}

void WaylandEventPoster::scroll(int dx, int dy)
{
    // The session's steps point down and right; ours up and left.
    post([this, dx, dy] {
        if (dy)
            session_->pointerAxisDiscrete(0, -dy);
        if (dx)
            session_->pointerAxisDiscrete(1, -dx);
    });
}

void WaylandEventPoster::key(uint32_t evdevCode, bool down)
{
    if (modifierOf(evdevCode)) {
        if (down)
            heldModifierKeys_.insert(evdevCode);
        else
            heldModifierKeys_.erase(evdevCode);
    }
    post([this, evdevCode, down] { session_->keyboardKeycode(evdevCode, down); });
}

std::vector<WaylandEventPoster::Run> WaylandEventPoster::plan(const QString& text, const std::function<bool(uint32_t)>& typeable)
{
    QString plain = text;
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    std::vector<Run> runs;
    for (const char32_t c : plain.toUcs4()) {
        uint32_t sym = keysyms::forCharacter(c);
        if (!sym)
            continue;
        // Keyboard maps carry the older named keysyms (EuroSign, not U+20AC) where one exists.
        if (sym > 0x01000000u)
            if (const xkb_keysym_t named = xkb_utf32_to_keysym(uint32_t(c)))
                sym = named;
        const bool pasted = !typeable(sym);
        if (runs.empty() || runs.back().pasted != pasted)
            runs.push_back(Run { pasted, {}, {} });
        if (pasted)
            runs.back().text += QString::fromUcs4(&c, 1);
        else
            runs.back().keysyms.push_back(sym);
    }
    return runs;
}

void WaylandEventPoster::typeText(const QString& text)
{
    for (Run& run : plan(text, [this](uint32_t sym) { return inKeymap(sym); }))
        post([this, run = std::move(run)] { typeRun(run); });
}

void WaylandEventPoster::typeRun(const Run& run)
{
    if (run.pasted) {
        const auto press = [this] {
            session_->keyboardKeycode(kLeftControl, true);
            session_->keyboardKeysym(XKB_KEY_v, true);
            session_->keyboardKeysym(XKB_KEY_v, false);
            session_->keyboardKeycode(kLeftControl, false);
        };
        const std::weak_ptr<bool> alive = alive_;
        const auto done = [this, alive] {
            if (alive.expired())
                return;
            waiting_ = false;
            drain();
        };
        waiting_ = true; // before: `done` may come at once
        if (paster_ && paster_(run.text, press, done))
            return;
        waiting_ = false;
        qCWarning(inputLog) << "cannot type" << run.text.size() << "characters the keyboard layout lacks";
        return;
    }
    for (const uint32_t sym : run.keysyms) {
        session_->keyboardKeysym(sym, true);
        session_->keyboardKeysym(sym, false);
    }
}

uint32_t WaylandEventPoster::mediaKeyCode(MediaKey key)
{
    switch (key) {
    case MediaKey::PlayPause:
        return 164;
    case MediaKey::Next:
        return 163;
    case MediaKey::Previous:
        return 165;
    case MediaKey::VolumeUp:
        return 115;
    case MediaKey::VolumeDown:
        return 114;
    case MediaKey::Mute:
        return 113;
    }
    return 0;
}

void WaylandEventPoster::mediaKey(MediaKey which, bool down)
{
    post([this, code = mediaKeyCode(which), down] { session_->keyboardKeycode(code, down); });
}

unsigned WaylandEventPoster::heldModifiers()
{
    unsigned bits = 0;
    for (const uint32_t code : heldModifierKeys_)
        bits |= modifierOf(code);
    return bits;
}

int WaylandEventPoster::doubleClickIntervalMs()
{
    if (!doubleClickReadAt_.isValid() || doubleClickReadAt_.hasExpired(kSettingsCacheMs)) {
        const auto ms = desktop_settings::readInt("org.gnome.desktop.peripherals.mouse", "double-click");
        doubleClickMs_ = ms && *ms > 0 && *ms <= 5000 ? *ms : kDefaultDoubleClickMs;
        doubleClickReadAt_.start();
    }
    return doubleClickMs_;
}

std::optional<bool> WaylandEventPoster::keyRepeat()
{
    return desktop_settings::readBool(kKeyboard, "repeat");
}

void WaylandEventPoster::setKeyRepeat(bool on)
{
    desktop_settings::writeBool(kKeyboard, "repeat", on);
}

bool WaylandEventPoster::inKeymap(uint32_t keysym)
{
    if (!keymapReadAt_.isValid() || keymapReadAt_.hasExpired(kSettingsCacheMs))
        readKeymap();
    // Without a keyboard map every keysym is tried: mutter types what it can.
    return keymap_.empty() || keymap_.count(keysym) > 0;
}

void WaylandEventPoster::readKeymap()
{
    keymapReadAt_.start();
    const QString layout = currentLayout();
    if (layout == keymapLayout_)
        return;
    keymapLayout_ = layout;
    keymap_.clear();
    const QStringList parts = layout.split(QLatin1Char('\n'));
    const QStringList layoutAndVariant = parts[0].split(QLatin1Char('+'));
    const QByteArray name = layoutAndVariant[0].toUtf8();
    const QByteArray variant = layoutAndVariant.value(1).toUtf8();
    const QByteArray options = parts.value(1).toUtf8();
    const std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref);
    if (!context)
        return;
    xkb_rule_names names {};
    names.rules = "evdev";
    names.layout = name.constData();
    names.variant = variant.constData();
    names.options = options.isEmpty() ? nullptr : options.constData();
    const std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS), xkb_keymap_unref);
    if (!keymap) {
        qCWarning(inputLog).noquote() << "no keyboard map for" << parts[0];
        return;
    }
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap.get()); code <= xkb_keymap_max_keycode(keymap.get()); ++code) {
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap.get(), code, 0);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), code, 0, level, &syms);
            for (int i = 0; i < count; ++i)
                keymap_.insert(syms[i]);
        }
    }
}
