// Notifications on a real session bus (the tests run under dbus-run-session), received by a
// small stand-in for the desktop's notification daemon.

#include "Platform/Linux/DBusNotifier.h"
#include "support/Wait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QObject>

#include <gtest/gtest.h>

namespace {
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// Answers like a notification daemon and keeps what it was asked to show.
class NotificationDaemon : public QDBusVirtualObject {
public:
    struct Call {
        QString app, icon, summary, body;
        QStringList actions;
        int timeout;
    };
    QList<Call> calls;
    QStringList capabilities { QStringLiteral("body"), QStringLiteral("actions") };

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const QVariantList a = message.arguments();
        if (message.member() == QStringLiteral("GetCapabilities")) {
            connection.send(message.createReply(QVariantList { capabilities }));
            return true;
        }
        if (message.member() != QStringLiteral("Notify") || a.size() != 8)
            return false;
        calls << Call { a[0].toString(), a[2].toString(), a[3].toString(), a[4].toString(), a[5].toStringList(), a[7].toInt() };
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
    pump(300);

    // A connection of its own, so the call really crosses the bus.
    QDBusConnection daemonBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("notify-daemon"));
    NotificationDaemon daemon;
    ASSERT_TRUE(daemonBus.registerVirtualObject(kPath, &daemon));
    ASSERT_TRUE(daemonBus.registerService(QStringLiteral("org.freedesktop.Notifications")));

    notifier.post(QStringLiteral("Velquin 遠端桌面：有手機正在遠端操作這台電腦"), QStringLiteral("a <b>name</b> & more"));
    ASSERT_TRUE(waitFor([&] { return daemon.calls.size() == 1; }));
    EXPECT_EQ(daemon.calls[0].app, DBusNotifier::kAppName);
    EXPECT_EQ(daemon.calls[0].icon, DBusNotifier::kIcon);
    EXPECT_EQ(daemon.calls[0].summary, QStringLiteral("Velquin 遠端桌面：有手機正在遠端操作這台電腦"));
    // This daemon shows bodies as they are.
    EXPECT_EQ(daemon.calls[0].body, QStringLiteral("a <b>name</b> & more"));
    EXPECT_TRUE(daemon.calls[0].actions.isEmpty());
    EXPECT_EQ(daemon.calls[0].timeout, -1);

    // Another daemon takes over, one that reads markup: a file name from a phone still reaches
    // it as plain text; clicking runs the action.
    bool replaced = false;
    QDBusServiceWatcher watcher(QStringLiteral("org.freedesktop.Notifications"), bus, QDBusServiceWatcher::WatchForOwnerChange);
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceOwnerChanged,
                     [&](const QString&, const QString&, const QString& owner) { replaced = !owner.isEmpty(); });
    daemonBus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection markupBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("notify-markup"));
    NotificationDaemon markupDaemon;
    markupDaemon.capabilities << QStringLiteral("body-markup");
    ASSERT_TRUE(markupBus.registerVirtualObject(kPath, &markupDaemon));
    ASSERT_TRUE(markupBus.registerService(QStringLiteral("org.freedesktop.Notifications")));
    ASSERT_TRUE(waitFor([&] { return replaced; }));

    int clicked = 0;
    notifier.post(QStringLiteral("received"), QStringLiteral("<img src=x>.png"), [&] { ++clicked; }, QStringLiteral("Show"));
    notifier.post(QStringLiteral("again"), QStringLiteral("a & b"));
    ASSERT_TRUE(waitFor([&] { return markupDaemon.calls.size() == 2; }));
    EXPECT_EQ(markupDaemon.calls[0].body, QStringLiteral("&lt;img src=x&gt;.png"));
    EXPECT_EQ(markupDaemon.calls[0].actions, (QStringList { "default", "Show" }));
    EXPECT_EQ(markupDaemon.calls[1].body, QStringLiteral("a &amp; b"));
    EXPECT_EQ(daemon.calls.size(), 1);
    pump(100);
    auto invoked = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("ActionInvoked"));
    invoked << 1u << QStringLiteral("default");
    markupBus.send(invoked);
    ASSERT_TRUE(waitFor([&] { return clicked == 1; }));
    // Closed notifications are forgotten; a click on a notification we never sent does nothing.
    markupBus.send(invoked);
    auto other = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("ActionInvoked"));
    other << 3u << QStringLiteral("default");
    markupBus.send(other);
    pump(200);
    EXPECT_EQ(clicked, 1);

    markupBus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection::disconnectFromBus(QStringLiteral("notify-markup"));
    QDBusConnection::disconnectFromBus(QStringLiteral("notify-daemon"));
}
