#pragma once
// Desktop notifications through org.freedesktop.Notifications on the session bus. Posting
// never waits: a desktop without a notification daemon just shows nothing (and the log says
// why, once).

#include "Platform/Notifier.h"

#include <QDBusConnection>

#include <atomic>
#include <memory>

class DBusNotifier : public Notifier {
public:
    explicit DBusNotifier(QDBusConnection bus = QDBusConnection::sessionBus());

    // Desktop notifications need no permission.
    void requestAuthorization() override {}
    void post(const QString& title, const QString& body) override;

    static inline const QString kAppName = QStringLiteral("Velquin");
    static inline const QString kIcon = QStringLiteral("velquin-host");

private:
    QDBusConnection bus_;
    std::shared_ptr<std::atomic<bool>> warned_ = std::make_shared<std::atomic<bool>>(false);
};
