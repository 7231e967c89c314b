#pragma once
// The desktop's input sources: IBus's engines when an IBus daemon runs with engines set up
// (its engines then are the sources, XKB layouts among them), else the X keyboard layouts.
// What a key types always comes from the X keyboard map, which IBus's panel sets for the
// current engine. A switch is reported once, whichever side noticed it.

#include "Platform/KeyboardLayouts.h"
#include "Platform/Linux/IBusEngines.h"
#include "Platform/Linux/X11KeyboardLayouts.h"

#include <memory>

class LinuxKeyboardLayouts : public KeyboardLayouts {
public:
    // `ibus` may be null.
    LinuxKeyboardLayouts(std::unique_ptr<X11KeyboardLayouts> xkb, std::unique_ptr<IBusEngines> ibus);

    QList<Layout> layouts() override;
    QString currentId() override;
    bool select(const QString& id) override;
    QString currentLayoutId() override { return xkb_->currentLayoutId(); }
    std::optional<QString> keyText(uint32_t evdevCode, bool shift) override { return xkb_->keyText(evdevCode, shift); }
    void setOnChanged(std::function<void()> onChanged) override;

private:
    void changed();

    std::unique_ptr<X11KeyboardLayouts> xkb_;
    std::unique_ptr<IBusEngines> ibus_;
    std::function<void()> onChanged_;
    QString reported_;
};
