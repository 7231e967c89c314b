// The session-start and keep-awake backends against their real counterparts: the XDG
// autostart folder, and a stand-in for the desktop's screen-saver service on the session bus.

#include "Platform/Linux/ScreenSaverInhibitor.h"
#include "Platform/Linux/XdgAutostart.h"
#include "support/Wait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

TEST(DesktopSessionTest, AutostartStartsWhatTheInstalledMenuEntryStarts)
{
    QTemporaryDir dir;
    const QByteArray saved[] = { qgetenv("XDG_CONFIG_HOME"), qgetenv("XDG_DATA_HOME"), qgetenv("XDG_DATA_DIRS"), qgetenv("PATH") };
    qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
    qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
    qputenv("XDG_DATA_DIRS", dir.filePath("system").toUtf8());
    QDir().mkpath(dir.filePath("data/applications"));
    QDir().mkpath(dir.filePath("system/applications"));
    const auto write = [](const QString& path, const QByteArray& text, bool executable = false) {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        if (executable)
            file.setPermissions(file.permissions() | QFile::ExeOwner);
    };
    const auto autostartExec = [&] {
        XdgAutostart item;
        item.setEnabled(true);
        QFile file(item.path());
        file.open(QIODevice::ReadOnly);
        for (const QByteArray& line : file.readAll().split('\n'))
            if (line.startsWith("Exec="))
                return QString::fromUtf8(line.mid(5));
        return QString();
    };

    // A per-user install: its menu entry names the program by a quoted path.
    write(dir.filePath("home dir/velquin/bin/velquin-host"), "#!/bin/sh\n", true);
    const QString quoted = '"' + dir.filePath("home dir/velquin/bin/velquin-host") + '"';
    write(dir.filePath("data/applications/velquin-host.desktop"),
          "[Desktop Entry]\nName=Velquin Remote Desktop\nExec=" + quoted.toUtf8() + "\n[Desktop Action x]\nExec=other\n");
    EXPECT_EQ(autostartExec(), quoted);

    // The package: the program by name, from PATH.
    QFile::remove(dir.filePath("data/applications/velquin-host.desktop"));
    write(dir.filePath("bin/velquin-host"), "#!/bin/sh\n", true);
    qputenv("PATH", dir.filePath("bin").toUtf8());
    write(dir.filePath("system/applications/velquin-host.desktop"), "[Desktop Entry]\nExec=velquin-host\n");
    EXPECT_EQ(autostartExec(), "velquin-host");

    // An entry whose program is gone: this program starts itself.
    qputenv("PATH", "/nonexistent");
    EXPECT_EQ(autostartExec(), XdgAutostart::execLine(QCoreApplication::applicationFilePath()));

    qputenv("XDG_CONFIG_HOME", saved[0]);
    qputenv("XDG_DATA_HOME", saved[1]);
    qputenv("XDG_DATA_DIRS", saved[2]);
    qputenv("PATH", saved[3]);
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
