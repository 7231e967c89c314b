#pragma once
// The input methods of a running IBus daemon, on IBus's own D-Bus (its address comes from
// IBUS_ADDRESS or the file the daemon writes for this display). The user's engines are IBus's
// "preload-engines" setting, in the user's order (else the daemon's active engines); the
// current one is the daemon's global engine. Identifiers are "ibus:<engine name>".

#include "Platform/KeyboardLayouts.h"

#include <QDBusConnection>
#include <QObject>

class IBusEngines : public QObject {
    Q_OBJECT
public:
    // `display` is the X display whose daemon to find; empty means $DISPLAY.
    explicit IBusEngines(const QByteArray& display = {}, QObject* parent = nullptr);
    ~IBusEngines() override;

    // Whether a daemon answered.
    bool usable() const;
    QList<KeyboardLayouts::Layout> engines();
    QString current();
    bool select(const QString& id);
    // Called on the main thread when the daemon's global engine changes.
    std::function<void()> onChanged;

    // The daemon's address from the contents of its address file; empty when it has none.
    static QString addressFromFile(const QByteArray& contents);
    // Where the daemon of `display` (":0", "host:1.0") writes its address.
    static QString addressFile(const QByteArray& display);
    static constexpr const char* kPrefix = "ibus:";

private Q_SLOTS:
    void globalEngineChanged(const QString& name);

private:
    QStringList configuredEngines();

    QDBusConnection bus_;
    QString connectionName_;
};
