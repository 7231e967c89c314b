#include "Platform/Linux/DBusNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(notifyLog, "orbel.notify")
} // namespace

DBusNotifier::DBusNotifier(QDBusConnection bus)
    : bus_(std::move(bus))
{
}

void DBusNotifier::post(const QString& title, const QString& body)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // app name, replaces id, icon, summary, body, actions, hints, timeout (-1: the server's).
    call << kAppName << 0u << kIcon << title << body << QStringList() << QVariantMap() << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call));
    // The reply may come after this notifier has gone: the watcher keeps what it needs.
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [warned = warned_, watcher] {
        watcher->deleteLater();
        if (watcher->isError() && !warned->exchange(true))
            qCWarning(notifyLog).noquote() << "no desktop notification:" << watcher->error().message();
    });
}
