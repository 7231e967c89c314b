// The input injector on GNOME's Wayland session (a headless mutter): input goes through
// mutter's remote-desktop session and is read back by a Qt window on that compositor.

#include "OrbelHost/InputInjector.h"
#include "OrbelHost/JsonMessage.h"
#include "Platform/Linux/MutterClipboard.h"
#include "Platform/Linux/MutterRemoteDesktop.h"
#include "Platform/Linux/PipeWireStream.h"
#include "Platform/Linux/WaylandCursorSource.h"
#include "Platform/Linux/WaylandEventPoster.h"
#include "Platform/Linux/WaylandScreenSource.h"
#include "support/HeadlessMutter.h"
#include "support/InputProbe.h"
#include "support/Wait.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {
class WaylandInputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mutter.ok()) << mutter.errorString().toStdString();
        // The screen source opens the session, as in the host.
        ASSERT_TRUE(screen.open()) << screen.errorString().toStdString();
        auto poster = std::make_unique<WaylandEventPoster>(session, stream);
        poster->setPaster([this](const QString& text, const std::function<void()>& press, std::function<void()> done) {
            return clipboard.paste(text, press, std::move(done));
        });
        events = poster.get();
        input = std::make_unique<InputInjector>(std::move(poster));
        ASSERT_TRUE(probe.startOnWayland(mutter.runtimeDir(), HeadlessMutter::kDisplay));
        send(R"({"t":"abs","x":0.5,"y":0.5})");
    }

    void send(const QByteArray& json) { input->handle(*parseJsonObject(json), QStringLiteral("phone")); }
    void sendText(const QString& text)
    {
        send(QJsonDocument(QJsonObject { { "t", "text" }, { "s", text } }).toJson(QJsonDocument::Compact));
    }

    HeadlessMutter mutter { QSize(1280, 720) };
    std::shared_ptr<MutterRemoteDesktop> session = std::make_shared<MutterRemoteDesktop>();
    std::shared_ptr<PipeWireStream> stream = std::make_shared<PipeWireStream>();
    WaylandScreenSource screen { session, stream };
    MutterClipboard clipboard { session };
    WaylandEventPoster* events = nullptr;
    std::unique_ptr<InputInjector> input;
    InputProbe probe;
};
} // namespace

TEST_F(WaylandInputTest, KeysModifiersTextAndMediaKeysArrive)
{
    send(R"({"t":"key","code":"KeyA","d":true})");
    send(R"({"t":"key","code":"KeyA","d":false})");
    // mutter does not say which modifiers its seat holds: the poster counts its own.
    events->key(54, true); // right shift
    events->key(29, true); // left control
    EXPECT_EQ(events->heldModifiers(), unsigned(EventPoster::Shift | EventPoster::Control));
    events->key(54, false);
    events->key(29, false);
    EXPECT_EQ(events->heldModifiers(), 0u);
    send(R"({"t":"key","code":"KeyB","d":true,"mods":{"shift":true}})");
    send(R"({"t":"key","code":"KeyB","d":false})");
    ASSERT_TRUE(waitFor([&] { return probe.typed() == QStringLiteral("aB"); })) << probe.typed().toStdString();

    // What the keyboard map has is typed key by key, in order with keys around it.
    sendText(QStringLiteral("Hello, World! 42\t~"));
    send(R"({"t":"key","code":"Digit1","d":true})");
    send(R"({"t":"key","code":"Digit1","d":false})");
    EXPECT_TRUE(waitFor([&] { return probe.typed() == QStringLiteral("aBHello, World! 42\t~1"); })) << probe.typed().toStdString();

    // What it lacks is pasted through the session's clipboard, still in order, and the
    // clipboard is given back without being seen as a change.
    probe.copy(QStringLiteral("kept"));
    ASSERT_TRUE(waitFor([&] { return clipboard.text() == std::optional<QString>(QStringLiteral("kept")); }));
    const long changes = clipboard.changeCount();
    sendText(QStringLiteral("ä中😀x"));
    sendText(QStringLiteral("y€é"));
    EXPECT_TRUE(waitFor([&] { return probe.typed().endsWith(QStringLiteral("1ä中😀xy€é")); }, 8000)) << probe.typed().toStdString() << probe.lines().join('|').toStdString();
    EXPECT_TRUE(waitFor([&] { return probe.clipboardText() == std::optional<QString>(QStringLiteral("kept")); }))
        << probe.clipboardText().value_or("(none)").toStdString();
    drainEvents();
    EXPECT_EQ(clipboard.changeCount(), changes) << "pasting typed text is not a clipboard change to tell phones of";

    send(R"({"t":"media","k":"play"})");
    EXPECT_TRUE(probe.waitForLine(QStringLiteral("key %1 - 0").arg(int(Qt::Key_MediaPlay), 0, 16)))
        << probe.lines().join('|').toStdString();
}

TEST_F(WaylandInputTest, ClicksCountTheWayApplicationsCountThemAndTheWheelScrolls)
{
    send(R"({"t":"abs","x":0.25,"y":0.75})");
    // Clicks go where the compositor has the pointer: wait until the screen cast shows it there.
    EXPECT_TRUE(waitFor([&] { return stream->cursor().position == QPoint(320, 540); }));
    EXPECT_EQ(input->poster().pointerPosition(), QPoint(320, 540));
    EXPECT_EQ(input->poster().mainDisplayBounds(), QRect(0, 0, 1280, 720));

    QElapsedTimer clicked;
    clicked.start();
    for (int i = 0; i < 2; ++i) {
        send(R"({"t":"btn","b":0,"d":true})");
        send(R"({"t":"btn","b":0,"d":false})");
    }
    EXPECT_TRUE(probe.waitForLine("press left 1"));
    std::fprintf(stderr, "click → Wayland window: %lld ms\n", clicked.elapsed());
    send(R"({"t":"btn","b":2,"d":true})");
    send(R"({"t":"btn","b":2,"d":false})");
    ASSERT_TRUE(probe.waitForLine("release right")) << probe.lines().join('|').toStdString();
    const QStringList lines = probe.lines();
    EXPECT_EQ(lines.mid(lines.indexOf("ready") + 1),
              (QStringList { "press left 1", "release left", "press left 2", "release left", "press right 1", "release right" }));

    // Relative moves in a quick row add up, although the stream shows each a little later.
    for (int i = 0; i < 10; ++i)
        send(R"({"t":"rel","dx":10,"dy":-5})");
    EXPECT_EQ(input->poster().pointerPosition(), QPoint(420, 490));
    EXPECT_TRUE(waitFor([&] { return stream->cursor().position == QPoint(420, 490); }))
        << stream->cursor().position.x() << "," << stream->cursor().position.y();

    probe.clear();
    send(R"({"t":"wheel","dy":100})");
    send(R"({"t":"wheel","dx":-50})");
    ASSERT_TRUE(waitFor([&] { return probe.count("wheel 0 120") == 2 && probe.count("wheel -120 0") == 1; }))
        << probe.lines().join('|').toStdString();
}

TEST_F(WaylandInputTest, ThePointersPlaceAndShapeComeFromTheScreenCast)
{
    WaylandCursorSource cursor(stream);
    QElapsedTimer moved;
    moved.start();
    send(R"({"t":"abs","x":0.5,"y":0.25})");
    EXPECT_TRUE(waitFor([&] { return cursor.position() == std::optional<QPoint>(QPoint(640, 180)); }));
    std::fprintf(stderr, "pointer move → the screen cast's cursor: %lld ms\n", moved.elapsed());
    EXPECT_EQ(cursor.mainDisplayBounds(), QRect(0, 0, 1280, 720));

    // Over the probe's window, the window's pointer shape comes with the stream, once per change.
    probe.setCursor("cross");
    send(R"({"t":"abs","x":0.5,"y":0.5})");
    ASSERT_TRUE(waitFor([&] { return cursor.shape().has_value(); })) << "no cursor bitmap in the stream";
    const auto cross = cursor.shape();
    EXPECT_FALSE(cross->image.isNull());
    probe.setCursor("ibeam");
    send(R"({"t":"abs","x":0.51,"y":0.5})");
    // The window takes its new shape a moment after being told: wait for the new bitmap.
    EXPECT_TRUE(waitFor([&] { return cursor.shape() && cursor.shape()->image != cross->image; }));
    EXPECT_NE(cursor.shape()->serial, cross->serial);
}

TEST_F(WaylandInputTest, TheClipboardGoesBothWays)
{
    send(R"({"t":"btn","b":0,"d":true})"); // a Wayland client copies only after input of its own
    send(R"({"t":"btn","b":0,"d":false})");
    ASSERT_TRUE(probe.waitForLine("release left"));

    const long before = clipboard.changeCount();
    probe.copy(QStringLiteral("從應用程式 copied"));
    ASSERT_TRUE(waitFor([&] { return clipboard.changeCount() > before; }));
    EXPECT_EQ(clipboard.text(), std::optional<QString>(QStringLiteral("從應用程式 copied")));
    EXPECT_TRUE(clipboard.filePaths().isEmpty());
    EXPECT_FALSE(clipboard.png());

    // Set here: counted at once (as the caller's own change), not again when mutter confirms it.
    const long set = clipboard.changeCount();
    ASSERT_TRUE(clipboard.setText(QStringLiteral("from the phone 手機")));
    EXPECT_EQ(clipboard.changeCount(), set + 1);
    // The window hears of the new selection when mutter gets round to telling it.
    EXPECT_TRUE(waitFor([&] { return probe.clipboardText() == std::optional<QString>(QStringLiteral("from the phone 手機")); }))
        << probe.clipboardText().value_or("(none)").toStdString();
    drainEvents();
    EXPECT_EQ(clipboard.changeCount(), set + 1);
    EXPECT_EQ(clipboard.text(), std::optional<QString>(QStringLiteral("from the phone 手機")));

    QImage image(40, 30, QImage::Format_ARGB32);
    image.fill(QColor(10, 200, 30));
    ASSERT_TRUE(clipboard.setImage(image));
    const auto png = clipboard.png();
    ASSERT_TRUE(png);
    EXPECT_EQ(QImage::fromData(*png).convertToFormat(QImage::Format_ARGB32), image);
}
