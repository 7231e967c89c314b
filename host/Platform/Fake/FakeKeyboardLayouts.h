#pragma once
#include "Platform/KeyboardLayouts.h"

class FakeKeyboardLayouts : public KeyboardLayouts {
public:
    QList<Layout> all { { QStringLiteral("us"), QStringLiteral("English (US)") } };
    QString current = QStringLiteral("us");
    std::function<void()> onChanged;

    QList<Layout> layouts() override { return all; }
    QString currentId() override { return current; }
    bool select(const QString& id) override
    {
        for (const auto& l : all)
            if (l.id == id) {
                current = id;
                if (onChanged)
                    onChanged();
                return true;
            }
        return false;
    }
    void setOnChanged(std::function<void()> callback) override { onChanged = std::move(callback); }
};
