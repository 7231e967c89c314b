#pragma once
// Keeps the display on through the desktop's org.freedesktop.ScreenSaver service (session bus),
// with logind's idle inhibitor beside it where the system bus has one. Activity is declared to
// the same service and to the X server's own screen saver. Nothing here waits on a bus.

#include "Platform/PowerAssertion.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <optional>

class ScreenSaverInhibitor : public QObject, public PowerAssertion {
public:
    explicit ScreenSaverInhibitor(QDBusConnection session = QDBusConnection::sessionBus(),
                                  QDBusConnection system = QDBusConnection::systemBus());

    void hold(std::function<void(bool granted)> done) override;
    void release() override;
    void declareActivity() override;

    static inline const QString kAppName = QStringLiteral("Velquin");

private:
    void holdIdle(bool screenSaver, std::function<void(bool)> done);

    QDBusConnection session_;
    QDBusConnection system_;
    std::optional<uint> cookie_;
    QDBusUnixFileDescriptor idleLock_;
    // A hold given back before its answers came: whatever they grant is returned at once.
    quint64 generation_ = 0;
};
