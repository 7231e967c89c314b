// The input injector through XTEST on a private Xvfb, read back by a Qt window (tests/probe):
// what a user's applications would receive.

#include "OrbelHost/InputInjector.h"
#include "OrbelHost/JsonMessage.h"
#include "Platform/Linux/X11EventPoster.h"
#include "support/Wait.h"
#include "support/XvfbServer.h"

#include <QJsonDocument>
#include <QProcess>

#include <gtest/gtest.h>

namespace {
class X11InputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!xvfb.running())
            GTEST_SKIP() << "no Xvfb";
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(xvfb.display()));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        probe.setProcessEnvironment(env);
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start(QStringLiteral(VELQUIN_INPUT_PROBE), {});
        ASSERT_TRUE(probe.waitForStarted(5000));
        input = std::make_unique<InputInjector>(std::make_unique<X11EventPoster>(xvfb.display()));
        ASSERT_TRUE(static_cast<X11EventPoster&>(input->poster()).usable());
        ASSERT_TRUE(waitForLine("ready", 10000));
        send(R"({"t":"abs","x":0.5,"y":0.5})");
    }
    void TearDown() override
    {
        input.reset();
        if (probe.state() != QProcess::NotRunning) {
            probe.kill();
            probe.waitForFinished(5000);
        }
    }

    void send(const QByteArray& json) { input->handle(*parseJsonObject(json), QStringLiteral("phone")); }
    void sendText(const QString& text)
    {
        send(QJsonDocument(QJsonObject { { "t", "text" }, { "s", text } }).toJson(QJsonDocument::Compact));
    }
    void read()
    {
        buffer += probe.readAllStandardOutput();
        while (buffer.contains('\n')) {
            const int end = buffer.indexOf('\n');
            lines << QString::fromUtf8(buffer.left(end));
            buffer.remove(0, end + 1);
        }
    }
    bool waitForLine(const QString& line, int ms = 5000)
    {
        return waitFor([&] {
            read();
            return lines.contains(line);
        }, ms);
    }
    // The text of every key press so far, in order.
    QString typed()
    {
        read();
        QString text;
        for (const QString& line : std::as_const(lines)) {
            const QStringList parts = line.split(' ');
            if (parts.size() == 4 && parts[0] == "key" && parts[2] != "-")
                text += QString::fromUtf8(QByteArray::fromHex(parts[2].toLatin1()));
        }
        return text;
    }
    int count(const QString& line)
    {
        read();
        return int(lines.count(line));
    }

    XvfbServer xvfb;
    QProcess probe;
    std::unique_ptr<InputInjector> input;
    QByteArray buffer;
    QStringList lines;
};
} // namespace

TEST_F(X11InputTest, KeysModifiersTextInAnyScriptAndMediaKeysArrive)
{
    send(R"({"t":"key","code":"KeyA","d":true})");
    send(R"({"t":"key","code":"KeyA","d":false})");
    send(R"({"t":"key","code":"KeyB","d":true,"mods":{"shift":true}})");
    send(R"({"t":"key","code":"KeyB","d":false})");
    ASSERT_TRUE(waitFor([&] { return typed() == QStringLiteral("aB"); })) << typed().toStdString();

    // Latin, CJK, an emoji, a combining mark, and more different characters than there are
    // spare keycodes, so the map is changed between batches.
    const QString text = QStringLiteral("héllo 漢字 😀 e\u0301 ") + QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789あいうえお");
    sendText(text);
    ASSERT_TRUE(waitFor([&] { return typed() == QStringLiteral("aB") + text; }, 10000)) << typed().toStdString();

    // Key, text and key again keep their order, although the text waits between batches.
    send(R"({"t":"key","code":"Digit1","d":true})");
    send(R"({"t":"key","code":"Digit1","d":false})");
    sendText(QStringLiteral("ÄÖÜ"));
    send(R"({"t":"key","code":"Digit2","d":true})");
    send(R"({"t":"key","code":"Digit2","d":false})");
    EXPECT_TRUE(waitFor([&] { return typed().endsWith(QStringLiteral("1ÄÖÜ2")); })) << typed().toStdString();

    send(R"({"t":"media","k":"play"})");
    EXPECT_TRUE(waitForLine(QStringLiteral("key %1 - 0").arg(int(Qt::Key_MediaPlay), 0, 16)));
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
    ASSERT_TRUE(waitForLine("release right"));
    read();
    EXPECT_EQ(lines.mid(lines.indexOf("ready") + 1),
              (QStringList { "press left 1", "release left", "press left 2", "release left", "press right 1", "release right" }));

    lines.clear();
    send(R"({"t":"wheel","dy":100})");
    send(R"({"t":"wheel","dx":-50})");
    ASSERT_TRUE(waitFor([&] { return count("wheel 0 120") == 2 && count("wheel -120 0") == 1; })) << lines.join('|').toStdString();
}

TEST_F(X11InputTest, HeldKeyPressesOnceWhileRepeatIsOffAndIsReleasedForTheGonePhone)
{
    auto& poster = input->poster();
    ASSERT_EQ(poster.keyRepeat(), std::optional<bool>(true));

    // With the server's repeat on, a held key repeats: the check below means something.
    send(R"({"t":"key","code":"KeyA","d":true})");
    pump(1200);
    send(R"({"t":"key","code":"KeyA","d":false})");
    EXPECT_TRUE(waitFor([&] { return count("key 41 61 1") > 0; }));

    poster.setKeyRepeat(false);
    EXPECT_EQ(poster.keyRepeat(), std::optional<bool>(false));
    const QString backspace = QStringLiteral("key %1 08 0").arg(int(Qt::Key_Backspace), 0, 16);
    send(R"({"t":"key","code":"Backspace","d":true})");
    ASSERT_TRUE(waitForLine(backspace));
    pump(3000);
    EXPECT_EQ(count(backspace), 1);
    EXPECT_EQ(count(QStringLiteral("key %1 08 1").arg(int(Qt::Key_Backspace), 0, 16)), 0);

    input->releaseHeldBy(QStringLiteral("phone"));
    EXPECT_TRUE(waitForLine(QStringLiteral("keyup %1").arg(int(Qt::Key_Backspace), 0, 16)));
    poster.setKeyRepeat(true);
}
