// The input injector through XTEST on a private Xvfb, read back by a Qt window (tests/probe):
// what a user's applications would receive.

#include "OrbelHost/InputInjector.h"
#include "OrbelHost/JsonMessage.h"
#include "Platform/Linux/X11EventPoster.h"
#include "support/InputProbe.h"
#include "support/Wait.h"
#include "support/XvfbServer.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

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
