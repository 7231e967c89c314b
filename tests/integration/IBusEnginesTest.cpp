// A real IBus daemon on a bus of its own, with the user's engines set in (in-memory)
// GSettings: listing, the current engine, switching from here and from another client, and
// the input sources on top of it next to the X keyboard layouts.

#include "Platform/Linux/IBusEngines.h"
#include "Platform/Linux/LinuxKeyboardLayouts.h"
#include "support/Wait.h"
#include "support/XvfbServer.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gio/gio.h>
#include <gtest/gtest.h>

namespace {
class IBusDaemon {
public:
    explicit IBusDaemon(const QByteArray& display)
    {
        if (QStandardPaths::findExecutable("ibus-daemon").isEmpty())
            return;
        address_ = "unix:path=" + dir_.filePath("bus");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", QString::fromLatin1(display));
        env.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
        env.insert("XDG_CACHE_HOME", dir_.filePath("cache"));
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start("ibus-daemon", { "--single", "--panel=disable", "--emoji-extension=disable", "--config=disable",
                                        "--address=" + address_ });
        if (process_.waitForStarted(5000))
            waitFor([&] { return QFile::exists(dir_.filePath("bus")); }, 10000);
    }
    ~IBusDaemon()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
    }
    bool running() const { return process_.state() == QProcess::Running && QFile::exists(dir_.filePath("bus")); }
    QString address() const { return address_; }

private:
    QTemporaryDir dir_;
    QProcess process_;
    QString address_;
};

void setPreloadEngines(const char* const* names)
{
    GSettings* settings = g_settings_new("org.freedesktop.ibus.general");
    g_settings_set_strv(settings, "preload-engines", names);
    g_object_unref(settings);
}
} // namespace

TEST(IBusEnginesTest, ListsSwitchesAndReportsTheDaemonsEnginesAsInputSources)
{
    XvfbServer xvfb;
    if (!xvfb.running())
        GTEST_SKIP() << "no Xvfb";
    IBusDaemon daemon(xvfb.display());
    if (!daemon.running())
        GTEST_SKIP() << "no ibus-daemon";
    qputenv("IBUS_ADDRESS", daemon.address().toUtf8());
    // The settings live in this process only: the user's own are never touched.
    qputenv("GSETTINGS_BACKEND", "memory");
    const char* const engines[] = { "xkb:us::eng", "xkb:de::deu", "xkb:ru::rus", nullptr };
    setPreloadEngines(engines);

    IBusEngines ibus(xvfb.display());
    ASSERT_TRUE(ibus.usable());
    const auto list = ibus.engines();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[0].id, "ibus:xkb:us::eng");
    EXPECT_EQ(list[1].id, "ibus:xkb:de::deu");
    EXPECT_EQ(list[1].name, "German");
    EXPECT_EQ(ibus.current(), ""); // none chosen yet

    LinuxKeyboardLayouts sources(std::make_unique<X11KeyboardLayouts>(xvfb.display()), std::make_unique<IBusEngines>(xvfb.display()));
    int changes = 0;
    sources.setOnChanged([&] { ++changes; });
    EXPECT_EQ(sources.layouts().size(), 3);
    EXPECT_EQ(sources.currentId(), "xkb:us"); // no engine yet: the X layout
    EXPECT_TRUE(sources.select("ibus:xkb:de::deu"));
    ASSERT_TRUE(waitFor([&] { return changes == 1; }));
    EXPECT_EQ(sources.currentId(), "ibus:xkb:de::deu");
    EXPECT_FALSE(sources.select("ibus:no-such-engine"));

    // Another client switches: reported once.
    EXPECT_TRUE(ibus.select("ibus:xkb:ru::rus"));
    ASSERT_TRUE(waitFor([&] { return changes == 2; }));
    EXPECT_EQ(sources.currentId(), "ibus:xkb:ru::rus");
    pump(200);
    EXPECT_EQ(changes, 2);

    // Without configured engines the daemon's active ones count; with none, the X layouts.
    const char* const none[] = { nullptr };
    setPreloadEngines(none);
    EXPECT_FALSE(sources.layouts().isEmpty());
    qunsetenv("IBUS_ADDRESS");
    qunsetenv("GSETTINGS_BACKEND");
}

TEST(IBusEnginesTest, FindsTheDaemonsAddressFileForTheDisplay)
{
    EXPECT_EQ(IBusEngines::addressFromFile("# comment\nIBUS_ADDRESS=unix:path=/tmp/x,guid=1\nIBUS_DAEMON_PID=3\n"),
              "unix:path=/tmp/x,guid=1");
    EXPECT_EQ(IBusEngines::addressFromFile("nothing here"), "");
    qputenv("XDG_CONFIG_HOME", "/cfg");
    EXPECT_TRUE(IBusEngines::addressFile(":0").startsWith("/cfg/ibus/bus/"));
    EXPECT_TRUE(IBusEngines::addressFile(":0").endsWith("-unix-0"));
    EXPECT_TRUE(IBusEngines::addressFile(":12.0").endsWith("-unix-12"));
    EXPECT_TRUE(IBusEngines::addressFile("box:3").endsWith("-box-3"));
    EXPECT_EQ(IBusEngines::addressFile("nodisplay"), "");
    qunsetenv("XDG_CONFIG_HOME");
    IBusEngines nowhere(":999");
    EXPECT_FALSE(nowhere.usable());
    EXPECT_TRUE(nowhere.engines().isEmpty());
    EXPECT_EQ(nowhere.current(), "");
}
