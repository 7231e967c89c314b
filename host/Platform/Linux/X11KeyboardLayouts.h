#pragma once
// The X keyboard layouts (XKB groups) as input sources: listed with the names the keymap
// gives them and identifiers from the server's rules ("xkb:us", "xkb:de(nodeadkeys)"),
// selected by locking the group, and watched through XKB's own events, so a switch made by
// anyone (a desktop shortcut, setxkbmap) is reported. Keymap changes (including the spare
// keycodes the input poster maps while typing) only mark the keymap for reading again.

#include "Platform/KeyboardLayouts.h"

#include <QByteArray>
#include <QSocketNotifier>

#include <xcb/xcb.h>

#include <memory>

struct xkb_context;
struct xkb_keymap;

class X11KeyboardLayouts : public KeyboardLayouts {
public:
    // `display` names the X display; empty means $DISPLAY.
    explicit X11KeyboardLayouts(QByteArray display = {});
    ~X11KeyboardLayouts() override;
    X11KeyboardLayouts(const X11KeyboardLayouts&) = delete;
    X11KeyboardLayouts& operator=(const X11KeyboardLayouts&) = delete;

    bool usable() const { return connection_ != nullptr && device_ >= 0; }

    QList<Layout> layouts() override;
    QString currentId() override;
    bool select(const QString& id) override;
    QString currentLayoutId() override { return currentId(); }
    std::optional<QString> keyText(uint32_t evdevCode, bool shift) override;
    void setOnChanged(std::function<void()> onChanged) override { onChanged_ = std::move(onChanged); }

private:
    void readEvents();
    // Reads the keymap and the layout identifiers again if they may have changed.
    bool refresh();
    QStringList ruleLayoutIds();
    void reportIfChanged();

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_atom_t rulesNames_ = 0; // the root window's _XKB_RULES_NAMES
    int32_t device_ = -1;
    uint8_t xkbEvent_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<xkb_context, void (*)(xkb_context*)> context_;
    std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap_;
    bool stale_ = true;
    QList<Layout> layouts_;
    int group_ = 0;
    QString reported_;
    bool reportQueued_ = false;
    std::function<void()> onChanged_;
};
