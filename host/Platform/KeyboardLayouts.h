#pragma once
#include <QList>
#include <QString>
#include <functional>

// The desktop's keyboard layouts and input methods.
class KeyboardLayouts {
public:
    struct Layout {
        QString id;
        QString name;
    };
    virtual ~KeyboardLayouts() = default;
    virtual QList<Layout> layouts() = 0;
    virtual QString currentId() = 0;
    virtual bool select(const QString& id) = 0;
    // Called on the main thread whenever the selected layout changes, by anyone.
    virtual void setOnChanged(std::function<void()> onChanged) = 0;
};
