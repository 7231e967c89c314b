// Notifications on a real session bus (the tests run under dbus-run-session), received by a
// small stand-in for the desktop's notification daemon.

#include "Platform/Linux/DBusNotifier.h"
#include "support/Wait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QObject>

#include <gtest/gtest.h>

namespace {
// Answers Notify like a notification daemon and keeps what it was asked to show.
class NotificationDaemon : public QDBusVirtualObject {
public:
    struct Call {
        QString app, icon, summary, body;
        int timeout;
    };
    QList<Call> calls;

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const QVariantList a = message.arguments();
        if (message.member() != QStringLiteral("Notify") || a.size() != 8)
            return false;
        calls << Call { a[0].toString(), a[2].toString(), a[3].toString(), a[4].toString(), a[7].toInt() };
        connection.send(message.createReply(QVariantList { uint(calls.size()) }));
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
};
} // namespace

TEST(DBusNotifierTest, PostsToTheDesktopsNotificationDaemonAndSurvivesItsAbsence)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        GTEST_SKIP() << "no session bus";
    DBusNotifier notifier(bus);
    // No daemon yet: nothing shows, nothing blocks, nothing breaks.
    notifier.post(QStringLiteral("nobody"), QStringLiteral("listens"));

    // A connection of its own, so the call really crosses the bus.
    QDBusConnection daemonBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("notify-daemon"));
    NotificationDaemon daemon;
    ASSERT_TRUE(daemonBus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &daemon));
    ASSERT_TRUE(daemonBus.registerService(QStringLiteral("org.freedesktop.Notifications")));

    notifier.post(QStringLiteral("Velquin 遠端桌面：有手機正在遠端操作這台電腦"), QStringLiteral("body text"));
    ASSERT_TRUE(waitFor([&] { return daemon.calls.size() == 1; }));
    EXPECT_EQ(daemon.calls[0].app, DBusNotifier::kAppName);
    EXPECT_EQ(daemon.calls[0].icon, DBusNotifier::kIcon);
    EXPECT_EQ(daemon.calls[0].summary, QStringLiteral("Velquin 遠端桌面：有手機正在遠端操作這台電腦"));
    EXPECT_EQ(daemon.calls[0].body, QStringLiteral("body text"));
    EXPECT_EQ(daemon.calls[0].timeout, -1);

    daemonBus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection::disconnectFromBus(QStringLiteral("notify-daemon"));
}
