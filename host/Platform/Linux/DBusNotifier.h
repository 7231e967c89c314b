#pragma once
// Desktop notifications through org.freedesktop.Notifications on the session bus. Posting
// never waits: a desktop without a notification daemon just shows nothing (and the log says
// why, once). Bodies are plain text: where the daemon reads markup, they are escaped.

#include "Platform/Notifier.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QHash>
#include <QObject>

#include <atomic>
#include <memory>
#include <optional>

class DBusNotifier : public QObject, public Notifier {
    Q_OBJECT
public:
    explicit DBusNotifier(QDBusConnection bus = QDBusConnection::sessionBus());

    // Desktop notifications need no permission.
    void requestAuthorization() override {}
    void post(const QString& title, const QString& body, std::function<void()> onActivated = {},
              const QString& actionLabel = {}) override;

    static inline const QString kAppName = QStringLiteral("Velquin");
    static inline const QString kIcon = QStringLiteral("velquin-host");

private Q_SLOTS:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

private:
    void notify(const QString& title, const QString& body, std::function<void()> onActivated, const QString& actionLabel);

    QDBusConnection bus_;
    QDBusServiceWatcher daemonWatcher_;
    std::optional<bool> markup_; // the daemon's answer, kept until another daemon takes over
    std::shared_ptr<std::atomic<bool>> warned_ = std::make_shared<std::atomic<bool>>(false);
    // What clicking a shown notification does, by the daemon's id for it.
    QHash<uint, std::function<void()>> actions_;
};
