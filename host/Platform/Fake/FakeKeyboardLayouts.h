#pragma once
#include "Platform/KeyboardLayouts.h"

#include <QHash>

class FakeKeyboardLayouts : public KeyboardLayouts {
public:
    QList<Layout> all { { QStringLiteral("xkb:us"), QStringLiteral("English (US)") } };
    QString current = QStringLiteral("xkb:us");
    // The layout an input method types with; empty: the current source is a layout itself.
    QString layout;
    // What each layout types: layout id → "evdev code" or "evdev code+shift" → text.
    QHash<QString, QHash<QString, QString>> texts;
    std::function<void()> onChanged;

    QList<Layout> layouts() override { return all; }
    QString currentId() override { return current; }
    bool select(const QString& id) override
    {
        for (const auto& l : std::as_const(all))
            if (l.id == id) {
                current = id;
                if (onChanged)
                    onChanged();
                return true;
            }
        return false;
    }
    QString currentLayoutId() override { return layout.isEmpty() ? current : layout; }
    std::optional<QString> keyText(uint32_t code, bool shift) override
    {
        const auto key = QString::number(code) + (shift ? QStringLiteral("+shift") : QString());
        const auto table = texts.value(currentLayoutId());
        if (!table.contains(key))
            return std::nullopt;
        return table.value(key);
    }
    void setOnChanged(std::function<void()> callback) override { onChanged = std::move(callback); }
};
