#include "Platform/Linux/X11KeyboardLayouts.h"

#include "Platform/Linux/X11Support.h"

#include <QLoggingCategory>
#include <QTimer>

// xcb's XKB header names a field "explicit", a C++ keyword.
#define explicit dont_use_cxx_explicit
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

namespace {
Q_LOGGING_CATEGORY(layoutLog, "orbel.layouts")

using State = std::unique_ptr<xkb_state, void (*)(xkb_state*)>;
} // namespace

X11KeyboardLayouts::X11KeyboardLayouts(QByteArray display)
    : context_(nullptr, xkb_context_unref)
    , keymap_(nullptr, xkb_keymap_unref)
{
    connection_ = x11::connect(display, "keyboard layouts", root_);
    if (!connection_)
        return;
    uint16_t major = 0, minor = 0;
    uint8_t errorBase = 0;
    if (!xkb_x11_setup_xkb_extension(connection_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, &major, &minor, &xkbEvent_, &errorBase)) {
        qCWarning(layoutLog) << "the X server has no XKB: keyboard layouts are not shown";
        return;
    }
    device_ = xkb_x11_get_core_keyboard_device_id(connection_);
    context_.reset(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    const uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY
        | XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
    const uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP;
    xcb_xkb_select_events(connection_, xcb_xkb_device_spec_t(device_), events, 0, events, mapParts, mapParts, nullptr);
    x11::Reply state(xcb_xkb_get_state_reply(connection_, xcb_xkb_get_state(connection_, xcb_xkb_device_spec_t(device_)), nullptr));
    group_ = state ? state->group : 0;
    // setxkbmap loads the new keymap first and names its layouts on the root window after:
    // the names are read again when they change, or a layout read in between stays "groupN".
    rulesNames_ = x11::atom(connection_, "_XKB_RULES_NAMES");
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection_);
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
    reported_ = currentId();
}

X11KeyboardLayouts::~X11KeyboardLayouts()
{
    notifier_.reset();
    keymap_.reset();
    if (connection_)
        xcb_disconnect(connection_);
}

void X11KeyboardLayouts::readEvents()
{
    if (!connection_)
        return;
    bool check = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
            if (reinterpret_cast<const xcb_property_notify_event_t*>(event)->atom == rulesNames_ && rulesNames_ != XCB_ATOM_NONE) {
                stale_ = true;
                check = true;
            }
        } else if ((event->response_type & 0x7f) == xkbEvent_) {
            // Every XKB event starts with its own type after the response type.
            const uint8_t xkbType = reinterpret_cast<const uint8_t*>(event)[1];
            if (xkbType == XCB_XKB_STATE_NOTIFY) {
                const auto* notify = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event);
                if (notify->group != group_) {
                    group_ = notify->group;
                    check = true;
                }
            } else if (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY) {
                stale_ = true;
                check = true;
            } else if (xkbType == XCB_XKB_MAP_NOTIFY) {
                stale_ = true;
            }
        }
        std::free(event);
    }
    if (check)
        reportIfChanged();
}

void X11KeyboardLayouts::reportIfChanged()
{
    // Reported from the event loop, never from inside a call of ours.
    if (reportQueued_)
        return;
    reportQueued_ = true;
    QTimer::singleShot(0, notifier_.get(), [this] {
        reportQueued_ = false;
        const QString now = currentId();
        if (now == reported_)
            return;
        reported_ = now;
        if (onChanged_)
            onChanged_();
    });
}

QStringList X11KeyboardLayouts::ruleLayoutIds()
{
    if (rulesNames_ == XCB_ATOM_NONE)
        return {};
    x11::Reply property(xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, root_, rulesNames_, XCB_ATOM_STRING, 0, 1024), nullptr));
    if (!property)
        return {};
    // rules, model, layouts, variants, options: NUL-separated, layouts and variants by commas.
    const QByteArray value(static_cast<const char*>(xcb_get_property_value(property.p)),
                           xcb_get_property_value_length(property.p));
    const QList<QByteArray> fields = value.split('\0');
    if (fields.size() < 3)
        return {};
    const QList<QByteArray> layouts = fields[2].split(',');
    const QList<QByteArray> variants = fields.size() > 3 ? fields[3].split(',') : QList<QByteArray> {};
    QStringList ids;
    for (qsizetype i = 0; i < layouts.size(); ++i) {
        const QByteArray variant = i < variants.size() ? variants[i].trimmed() : QByteArray();
        ids << QStringLiteral("xkb:") + QString::fromLatin1(layouts[i].trimmed())
                + (variant.isEmpty() ? QString() : QLatin1Char('(') + QString::fromLatin1(variant) + QLatin1Char(')'));
    }
    return ids;
}

bool X11KeyboardLayouts::refresh()
{
    if (!usable())
        return false;
    readEvents();
    if (!stale_ && keymap_)
        return true;
    keymap_.reset(xkb_x11_keymap_new_from_device(context_.get(), connection_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap_)
        return false;
    stale_ = false;
    const QStringList ids = ruleLayoutIds();
    layouts_.clear();
    const xkb_layout_index_t count = xkb_keymap_num_layouts(keymap_.get());
    for (xkb_layout_index_t i = 0; i < count; ++i) {
        const char* name = xkb_keymap_layout_get_name(keymap_.get(), i);
        const QString id = i < xkb_layout_index_t(ids.size()) ? ids[qsizetype(i)] : QStringLiteral("xkb:group%1").arg(i + 1);
        layouts_ << Layout { id, name ? QString::fromUtf8(name) : id };
    }
    return true;
}

QList<KeyboardLayouts::Layout> X11KeyboardLayouts::layouts()
{
    return refresh() ? layouts_ : QList<Layout> {};
}

QString X11KeyboardLayouts::currentId()
{
    if (!refresh() || group_ < 0 || group_ >= layouts_.size())
        return {};
    return layouts_[group_].id;
}

bool X11KeyboardLayouts::select(const QString& id)
{
    if (!refresh())
        return false;
    for (qsizetype i = 0; i < layouts_.size(); ++i)
        if (layouts_[i].id == id) {
            xcb_xkb_latch_lock_state(connection_, xcb_xkb_device_spec_t(device_), 0, 0, 1, uint8_t(i), 0, 0, 0);
            xcb_flush(connection_);
            return true;
        }
    return false;
}

std::optional<QString> X11KeyboardLayouts::keyText(uint32_t evdevCode, bool shift)
{
    if (!refresh())
        return std::nullopt;
    State state(xkb_state_new(keymap_.get()), xkb_state_unref);
    if (!state)
        return std::nullopt;
    const xkb_mod_index_t shiftIndex = xkb_keymap_mod_get_index(keymap_.get(), XKB_MOD_NAME_SHIFT);
    const xkb_mod_mask_t mods = shift && shiftIndex != XKB_MOD_INVALID ? (1u << shiftIndex) : 0;
    xkb_state_update_mask(state.get(), mods, 0, 0, 0, 0, xkb_layout_index_t(group_));
    char text[16] = {};
    const int length = xkb_state_key_get_utf8(state.get(), evdevCode + 8, text, sizeof text);
    if (length <= 0 || length >= int(sizeof text))
        return std::nullopt;
    return QString::fromUtf8(text, length);
}
