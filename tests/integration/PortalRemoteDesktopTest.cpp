// The Wayland backend through the desktop portal (for compositors other than GNOME's), against
// a portal of the test's own that answers as xdg-desktop-portal does and carries the session
// out on a headless mutter: the user's answer decides, frames and input are real.

#include "OrbelHost/InputInjector.h"
#include "OrbelHost/JsonMessage.h"
#include "Platform/Linux/PipeWireStream.h"
#include "Platform/Linux/PortalRemoteDesktop.h"
#include "Platform/Linux/WaylandEventPoster.h"
#include "Platform/Linux/WaylandPermissionProbe.h"
#include "Platform/Linux/WaylandScreenSource.h"
#include "support/FakePortal.h"
#include "support/HeadlessMutter.h"
#include "support/InputProbe.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

namespace {
// Runs `call` on a thread of its own (as the capturer opens its source) while this thread
// serves the portal.
bool served(const std::function<bool()>& call)
{
    auto done = std::async(std::launch::async, call);
    waitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000);
    return done.get();
}
bool openServed(WaylandScreenSource& source)
{
    return served([&] { return source.open(); });
}
} // namespace

TEST(PortalRemoteDesktopTest, TheUsersAnswerDecidesAndASharedSessionStreamsAndTakesInput)
{
    HeadlessMutter mutter(QSize(1280, 720));
    ASSERT_TRUE(mutter.ok()) << mutter.errorString().toStdString();
    FakePortal portal;
    ASSERT_TRUE(portal.ok()) << "cannot own the portal's name";
    ASSERT_TRUE(served([] { return PortalRemoteDesktop::available(); }));

    auto session = std::make_shared<PortalRemoteDesktop>();
    auto stream = std::make_shared<PipeWireStream>();
    WaylandScreenSource source(session, stream);
    WaylandPermissionProbe permissions(session, PermissionProbe::Desktop::PortalWayland,
                                       [] { return PortalRemoteDesktop::available(PortalRemoteDesktop::kPollWaitMs); });
    EXPECT_TRUE(served([&] { return permissions.screenCaptureAllowed(); })) << "nothing refused yet";

    // Declined at the computer: no screen, and the permission says so until a session is shared.
    portal.answer = FakePortal::Answer::Decline;
    EXPECT_FALSE(openServed(source));
    EXPECT_TRUE(session->refused());
    EXPECT_FALSE(served([&] { return permissions.screenCaptureAllowed(); }));
    EXPECT_EQ(portal.starts, 1);

    // Shared without input: the picture comes, input is not sent.
    portal.answer = FakePortal::Answer::ShareScreenOnly;
    ASSERT_TRUE(openServed(source)) << source.errorString().toStdString();
    EXPECT_EQ(source.displaySize(), QSize(1280, 720));
    EXPECT_TRUE(served([&] { return permissions.screenCaptureAllowed(); }));
    EXPECT_FALSE(served([&] { return permissions.inputAllowed(); }));
    EXPECT_FALSE(session->keyboardKeycode(30, true));
    source.close();
    EXPECT_TRUE(waitFor([&] { return portal.sessionsClosed >= 2; })) << "the declined and the shared session are closed";

    // Shared with input: keys and clicks reach a Wayland window.
    portal.answer = FakePortal::Answer::Share;
    ASSERT_TRUE(openServed(source)) << source.errorString().toStdString();
    EXPECT_TRUE(served([&] { return permissions.inputAllowed(); }));
    ASSERT_EQ(source.poll(), ScreenSource::Change::Content);
    ASSERT_TRUE(source.grab());
    InputProbe probe;
    ASSERT_TRUE(probe.startOnWayland(mutter.runtimeDir(), HeadlessMutter::kDisplay));
    InputInjector input(std::make_unique<WaylandEventPoster>(session, stream));
    const auto send = [&](const QByteArray& json) { input.handle(*parseJsonObject(json), QStringLiteral("phone")); };
    send(R"({"t":"abs","x":0.5,"y":0.5})");
    send(R"({"t":"key","code":"KeyP","d":true})");
    send(R"({"t":"key","code":"KeyP","d":false})");
    send(R"({"t":"btn","b":0,"d":true})");
    send(R"({"t":"btn","b":0,"d":false})");
    EXPECT_TRUE(waitFor([&] { return probe.typed() == QStringLiteral("p") && probe.lines().contains("release left"); }))
        << probe.lines().join('|').toStdString();
    EXPECT_EQ(portal.starts, 3);
}
