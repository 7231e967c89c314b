#pragma once
#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

// The desktop's keyboard input sources (layouts and input methods) and what the current
// keyboard layout types.
class KeyboardLayouts {
public:
    struct Layout {
        QString id;
        QString name;
    };
    virtual ~KeyboardLayouts() = default;
    // The sources the user can switch to, in the desktop's order.
    virtual QList<Layout> layouts() = 0;
    // The selected source's identifier; empty when there is none.
    virtual QString currentId() = 0;
    // Selects a source; false when there is no such source.
    virtual bool select(const QString& id) = 0;
    // The keyboard layout that the current source types with (its identifier).
    virtual QString currentLayoutId() = 0;
    // What that layout types for a key (evdev code), with or without Shift; nullopt for none.
    virtual std::optional<QString> keyText(uint32_t evdevCode, bool shift) = 0;
    // Called on the main thread whenever the selected source changes, by anyone.
    virtual void setOnChanged(std::function<void()> onChanged) = 0;
};
