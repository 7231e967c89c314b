// The session-start and keep-awake backends against their real counterparts: the XDG
// autostart folder, and a stand-in for the desktop's screen-saver service on the session bus.

#include "Platform/Linux/ScreenSaverInhibitor.h"
#include "Platform/Linux/XdgAutostart.h"
#include "support/Wait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {
class ScreenSaverService : public QDBusVirtualObject {
public:
    QStringList calls;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const QVariantList a = message.arguments();
        calls << message.member() + QLatin1Char(' ') + (a.isEmpty() ? QString() : a.last().toString());
        if (message.member() == QStringLiteral("Inhibit"))
            connection.send(message.createReply(QVariantList { 42u }));
        else
            connection.send(message.createReply());
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
};
} // namespace

TEST(DesktopSessionTest, AutostartEntryIsWrittenReadBackAndRemoved)
{
    QTemporaryDir dir;
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    XdgAutostart item(QStringLiteral("/opt/Velquin Host/velquin-host"));
    EXPECT_FALSE(item.isEnabled());
    ASSERT_TRUE(item.setEnabled(true));
    EXPECT_EQ(item.path(), dir.filePath("autostart/velquin-host.desktop"));
    EXPECT_TRUE(item.isEnabled());
    QFile file(item.path());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray entry = file.readAll();
    file.close();
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(entry.contains("\nExec=\"/opt/Velquin Host/velquin-host\"\n")) << entry.constData();
    EXPECT_TRUE(entry.contains("\nType=Application\n"));

    // Hidden by the user's desktop: off.
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("Hidden=true\n");
    file.close();
    EXPECT_FALSE(item.isEnabled());
    ASSERT_TRUE(item.setEnabled(false));
    EXPECT_FALSE(QFile::exists(item.path()));
    EXPECT_TRUE(item.setEnabled(false));

    EXPECT_EQ(XdgAutostart::execLine("/usr/bin/velquin-host"), "/usr/bin/velquin-host");
    EXPECT_EQ(XdgAutostart::execLine(R"(/a b/$x"y\z%)"), R"("/a b/\$x\"y\\z%%")");

    // A folder that cannot be written: the switch must learn it failed.
    QFile::remove(dir.filePath("autostart"));
    QDir(dir.path()).rmdir("autostart");
    QFile blocker(dir.filePath("autostart"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(item.setEnabled(true));
    EXPECT_FALSE(item.isEnabled());
    qputenv("XDG_CONFIG_HOME", oldConfig);
}

TEST(DesktopSessionTest, ScreenSaverIsInhibitedPokedAndReleased)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        GTEST_SKIP() << "no session bus";
    // No such service yet: refused, without waiting long.
    ScreenSaverInhibitor inhibitor(bus, QDBusConnection(QStringLiteral("no system bus")));
    std::optional<bool> granted;
    inhibitor.hold([&](bool ok) { granted = ok; });
    ASSERT_TRUE(waitFor([&] { return granted.has_value(); }));
    EXPECT_FALSE(*granted);

    QDBusConnection serviceBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("screensaver"));
    ScreenSaverService service;
    ASSERT_TRUE(serviceBus.registerVirtualObject(QStringLiteral("/org/freedesktop/ScreenSaver"), &service));
    ASSERT_TRUE(serviceBus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")));

    granted.reset();
    inhibitor.hold([&](bool ok) { granted = ok; });
    ASSERT_TRUE(waitFor([&] { return granted.has_value(); }));
    EXPECT_TRUE(*granted);
    inhibitor.declareActivity();
    inhibitor.release();
    ASSERT_TRUE(waitFor([&] { return service.calls.size() == 3; }));
    EXPECT_EQ(service.calls, (QStringList { "Inhibit Orbel 遠端：保持螢幕開著，鎖定後就無法遠端", "SimulateActivity ", "UnInhibit 42" }));

    serviceBus.unregisterService(QStringLiteral("org.freedesktop.ScreenSaver"));
    QDBusConnection::disconnectFromBus(QStringLiteral("screensaver"));
}
