// The input injector through XTEST on a private Xvfb, read back by a Qt window (tests/probe):
// what a user's applications would receive.

#include "OrbelHost/InputInjector.h"
#include "OrbelHost/JsonMessage.h"
#include "Platform/Linux/X11EventPoster.h"
#include "support/InputProbe.h"
#include "support/MixedText.h"
#include "support/Wait.h"
#include "support/XvfbServer.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {
class X11InputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!xvfb.running())
            GTEST_SKIP() << "no Xvfb";
        input = std::make_unique<InputInjector>(std::make_unique<X11EventPoster>(xvfb.display()));
        ASSERT_TRUE(static_cast<X11EventPoster&>(input->poster()).usable());
        ASSERT_TRUE(probe.start(xvfb.display()));
        send(R"({"t":"abs","x":0.5,"y":0.5})");
    }

    void send(const QByteArray& json) { input->handle(*parseJsonObject(json), QStringLiteral("phone")); }
    void sendText(const QString& text)
    {
        send(QJsonDocument(QJsonObject { { "t", "text" }, { "s", text } }).toJson(QJsonDocument::Compact));
    }

    XvfbServer xvfb;
    InputProbe probe;
    std::unique_ptr<InputInjector> input;
};
} // namespace

TEST_F(X11InputTest, KeysModifiersTextInAnyScriptAndMediaKeysArrive)
{
    send(R"({"t":"key","code":"KeyA","d":true})");
    send(R"({"t":"key","code":"KeyA","d":false})");
    send(R"({"t":"key","code":"KeyB","d":true,"mods":{"shift":true}})");
    send(R"({"t":"key","code":"KeyB","d":false})");
    ASSERT_TRUE(waitFor([&] { return probe.typed() == QStringLiteral("aB"); })) << probe.typed().toStdString();

    // Latin, CJK, an emoji, a combining mark, and more different characters than there are
    // spare keycodes, so the map is changed between batches.
    const QString text = QStringLiteral("héllo 漢字 😀 e\u0301 ") + QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789あいうえお");
    sendText(text);
    ASSERT_TRUE(waitFor([&] { return probe.typed() == QStringLiteral("aB") + text; }, 10000)) << probe.typed().toStdString();

    // Key, text and key again keep their order, although the text waits between batches.
    send(R"({"t":"key","code":"Digit1","d":true})");
    send(R"({"t":"key","code":"Digit1","d":false})");
    sendText(QStringLiteral("ÄÖÜ"));
    send(R"({"t":"key","code":"Digit2","d":true})");
    send(R"({"t":"key","code":"Digit2","d":false})");
    EXPECT_TRUE(waitFor([&] { return probe.typed().endsWith(QStringLiteral("1ÄÖÜ2")); })) << probe.typed().toStdString();

    send(R"({"t":"media","k":"play"})");
    EXPECT_TRUE(probe.waitForLine(QStringLiteral("key %1 - 0").arg(int(Qt::Key_MediaPlay), 0, 16)));
}

TEST_F(X11InputTest, TextStaysExactWhileTheComputerIsBusy)
{
    // Every core busy, so the probe reads its events late: a keycode mapped anew before the
    // probe has read its last press would type the wrong character.
    std::atomic<bool> stop { false };
    std::vector<std::thread> busy;
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
        busy.emplace_back([&stop] {
            while (!stop.load(std::memory_order_relaxed)) {
            }
        });
    QString expected;
    for (quint32 seed = 1; seed <= 3; ++seed) {
        const QString text = mixedText(200, seed);
        expected += text;
        sendText(text);
    }
    const bool arrived = waitFor([&] { return probe.typed().size() >= expected.size(); }, 30000);
    stop = true;
    for (auto& thread : busy)
        thread.join();
    EXPECT_TRUE(arrived);
    EXPECT_EQ(probe.typed().toStdString(), expected.toStdString());
}

TEST_F(X11InputTest, ClicksCountTheWayApplicationsCountThemAndTheWheelScrolls)
{
    send(R"({"t":"abs","x":0.25,"y":0.75})");
    EXPECT_TRUE(waitFor([&] { return input->poster().pointerPosition() == QPoint(480, 810); }));

    for (int i = 0; i < 2; ++i) {
        send(R"({"t":"btn","b":0,"d":true})");
        send(R"({"t":"btn","b":0,"d":false})");
    }
    send(R"({"t":"btn","b":2,"d":true})");
    send(R"({"t":"btn","b":2,"d":false})");
    ASSERT_TRUE(probe.waitForLine("release right"));
    const QStringList lines = probe.lines();
    EXPECT_EQ(lines.mid(lines.indexOf("ready") + 1),
              (QStringList { "press left 1", "release left", "press left 2", "release left", "press right 1", "release right" }));

    probe.clear();
    send(R"({"t":"wheel","dy":100})");
    send(R"({"t":"wheel","dx":-50})");
    ASSERT_TRUE(waitFor([&] { return probe.count("wheel 0 120") == 2 && probe.count("wheel -120 0") == 1; })) << probe.lines().join('|').toStdString();
}

TEST_F(X11InputTest, HeldKeyPressesOnceWhileRepeatIsOffAndIsReleasedForTheGonePhone)
{
    auto& poster = input->poster();
    ASSERT_EQ(poster.keyRepeat(), std::optional<bool>(true));

    // With the server's repeat on, a held key repeats: the check below means something.
    send(R"({"t":"key","code":"KeyA","d":true})");
    pump(1200);
    send(R"({"t":"key","code":"KeyA","d":false})");
    EXPECT_TRUE(waitFor([&] { return probe.count("key 41 61 1") > 0; }));

    poster.setKeyRepeat(false);
    EXPECT_EQ(poster.keyRepeat(), std::optional<bool>(false));
    const QString backspace = QStringLiteral("key %1 08 0").arg(int(Qt::Key_Backspace), 0, 16);
    send(R"({"t":"key","code":"Backspace","d":true})");
    ASSERT_TRUE(probe.waitForLine(backspace));
    pump(3000);
    EXPECT_EQ(probe.count(backspace), 1);
    EXPECT_EQ(probe.count(QStringLiteral("key %1 08 1").arg(int(Qt::Key_Backspace), 0, 16)), 0);

    input->releaseHeldBy(QStringLiteral("phone"));
    EXPECT_TRUE(probe.waitForLine(QStringLiteral("keyup %1").arg(int(Qt::Key_Backspace), 0, 16)));
    poster.setKeyRepeat(true);
}

TEST(X11EventPosterTest, TheDoubleClickIntervalIsTheDesktopsWhenASettingsDaemonPublishesIt)
{
    XvfbServer xvfb;
    if (!xvfb.running())
        GTEST_SKIP() << "no Xvfb";
    X11EventPoster poster(xvfb.display());
    EXPECT_EQ(poster.doubleClickIntervalMs(), 400); // no settings daemon

    // Play the settings daemon: own the selection and publish Net/DoubleClickTime = 250.
    xcb_connection_t* daemon = xcb_connect(xvfb.display().constData(), nullptr);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(daemon)).data;
    const xcb_window_t window = xcb_generate_id(daemon);
    xcb_create_window(daemon, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    const auto atom = [&](const char* name) {
        auto* reply = xcb_intern_atom_reply(daemon, xcb_intern_atom(daemon, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = reply->atom;
        free(reply);
        return a;
    };
    const QByteArray name("Net/DoubleClickTime");
    QByteArray blob("\0\0\0\0\1\0\0\0\1\0\0\0", 12);
    blob.append("\0\0", 2).append(char(name.size())).append('\0').append(name).append(1, '\0'); // 19 + 1 pad
    blob.append("\0\0\0\0", 4).append("\xfa\0\0\0", 4);
    const xcb_atom_t settings = atom("_XSETTINGS_SETTINGS");
    xcb_change_property(daemon, XCB_PROP_MODE_REPLACE, window, settings, settings, 8, uint32_t(blob.size()), blob.constData());
    xcb_set_selection_owner(daemon, window, atom("_XSETTINGS_S0"), XCB_CURRENT_TIME);
    free(xcb_get_input_focus_reply(daemon, xcb_get_input_focus(daemon), nullptr)); // a round trip: all applied

    X11EventPoster fresh(xvfb.display());
    EXPECT_EQ(fresh.doubleClickIntervalMs(), 250);
    xcb_disconnect(daemon);
}
