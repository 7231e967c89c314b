#include "OrbelHost/InputInjector.h"
#include "OrbelHost/Peer.h"
#include "Platform/Fake/FakeEventPoster.h"
#include "WebRTC/Fake/FakeWebRTC.h"
#include "support/Wait.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {
struct PeerRig {
    std::unique_ptr<FakeEventPoster> ownedEvents = std::make_unique<FakeEventPoster>();
    FakeEventPoster* events = ownedEvents.get();
    InputInjector input { std::move(ownedEvents) };
    QTemporaryDir dir;
    std::shared_ptr<Peer> peer = std::make_shared<Peer>(
        QStringLiteral("v1"), input,
        std::make_unique<FileTransfer>(FileTransfer::Places { dir.filePath("received"), dir.path() }, FileTransfer::Callbacks {}));
    std::shared_ptr<rtc::FakeDataChannel> control = std::make_shared<rtc::FakeDataChannel>(QStringLiteral("input"));
    std::shared_ptr<rtc::FakeDataChannel> file = std::make_shared<rtc::FakeDataChannel>(QStringLiteral("file"));
    QStringList pins;
    QList<QJsonObject> commands;
    int opened = 0;
    int closed = 0;
    int disconnected = 0;

    // What arrived in the receive folder, once the file worker is done.
    QStringList received()
    {
        peer->files->waitForPending();
        return QDir(dir.filePath("received")).entryList(QDir::Files | QDir::Hidden);
    }

    PeerRig()
    {
        peer->channel = control;
        peer->fileChannel = file;
        control->setObserver(peer);
        file->setObserver(peer);
        peer->onAuth = [this](const QString& pin) { pins << pin; };
        peer->onCommand = [this](const QJsonObject& m) { commands << m; };
        peer->onOpen = [this] { ++opened; };
        peer->onClosed = [this] { ++closed; };
        peer->onDisconnected = [this] { ++disconnected; };
    }
};
} // namespace

TEST(PeerTest, UnauthenticatedPhoneIsHeardOnlyForItsPin)
{
    PeerRig rig;
    rig.peer->authed = false;
    rig.control->receive(R"({"t":"abs","x":0.5,"y":0.5})");
    rig.control->receive(R"({"t":"clip-get"})");
    rig.control->receive(R"({"t":"auth","pin":1234})");
    rig.control->receive(R"({"t":"auth"})");
    rig.file->receive(R"({"t":"auth","pin":"1234"})");
    rig.file->receive(R"({"t":"begin","name":"a.txt","size":6})");
    rig.file->receive("binary", true);
    rig.file->receive(R"({"t":"end"})");
    rig.control->receive(R"({"t":"auth","pin":"4321"})");
    drainEvents();
    EXPECT_EQ(rig.pins, QStringList { "4321" });
    EXPECT_TRUE(rig.commands.isEmpty());
    EXPECT_TRUE(rig.received().isEmpty());
    EXPECT_TRUE(rig.events->events.isEmpty());
}

TEST(PeerTest, AuthenticatedPhoneIsRoutedByType)
{
    PeerRig rig;
    for (const char* command : { "screenshot", "screenshot-ui", "clip-get", "clip-set", "quality", "ime-next", "ime-list", "ime-select" })
        rig.control->receive(QByteArray(R"({"t":")") + command + R"("})");
    EXPECT_EQ(rig.commands.size(), 8);

    rig.control->receive(R"({"t":"key","code":"KeyA","d":true})");
    rig.control->receive(R"({"t":7})");
    rig.control->receive(R"({"x":1})");
    rig.control->receive("garbage");
    rig.control->receive("[1,2]");
    rig.control->receive(R"({"t":"abs","x":0.5,"y":0.5})");
    // Input is handed to the injector on the main thread, later.
    EXPECT_TRUE(rig.events->events.isEmpty());
    const QStringList expected { "key 30 down", "move 960,540" };
    EXPECT_TRUE(waitFor([&] { return rig.events->events == expected; }));
    drainEvents();
    EXPECT_EQ(rig.events->events, expected);
    EXPECT_EQ(rig.commands.size(), 8);

    rig.file->receive(R"({"t":"begin","name":"a.txt","size":5})");
    rig.file->receive("chunk", true);
    rig.file->receive(R"({"t":"end"})");
    EXPECT_EQ(rig.received(), QStringList { "a.txt" });
    EXPECT_TRUE(rig.pins.isEmpty());
}

TEST(PeerTest, ActsOnlyOnTheStatesThatMatter)
{
    PeerRig rig;
    rig.file->setState(rtc::DataChannelState::Open);
    EXPECT_EQ(rig.opened, 0);
    rig.control->setState(rtc::DataChannelState::Open);
    EXPECT_EQ(rig.opened, 1);
    rig.control->setState(rtc::DataChannelState::Closing);
    EXPECT_EQ(rig.opened, 1);

    for (auto state : { rtc::PeerConnectionState::New, rtc::PeerConnectionState::Connecting,
                        rtc::PeerConnectionState::Connected, rtc::PeerConnectionState::Disconnected })
        rig.peer->onConnectionStateChange(state);
    EXPECT_EQ(rig.closed, 0);
    EXPECT_EQ(rig.disconnected, 1);
    rig.peer->onConnectionStateChange(rtc::PeerConnectionState::Failed);
    rig.peer->onConnectionStateChange(rtc::PeerConnectionState::Closed);
    EXPECT_EQ(rig.closed, 2);
}

TEST(PeerTest, ClosedPeerIgnoresLateMessagesAndInputOfAGonePeerIsDropped)
{
    PeerRig rig;
    rig.control->receive(R"({"t":"key","code":"KeyA","d":true})");
    rig.peer->close();
    EXPECT_TRUE(rig.control->closed());
    EXPECT_TRUE(rig.file->closed());
    rig.control->receive(R"({"t":"quality","level":"low"})");
    EXPECT_TRUE(rig.commands.isEmpty());
    // The input posted before close still arrives: it was sent while the phone was in control.
    EXPECT_TRUE(waitFor([&] { return rig.events->events.size() == 1; }));

    // Input queued for a peer that is destroyed before the main thread gets to it is dropped.
    auto poster = std::make_unique<FakeEventPoster>();
    const FakeEventPoster* events = poster.get();
    InputInjector input(std::move(poster));
    auto channel = std::make_shared<rtc::FakeDataChannel>(QStringLiteral("input"));
    {
        auto peer = std::make_shared<Peer>(QStringLiteral("v2"), input);
        peer->channel = channel;
        channel->setObserver(peer);
        channel->receive(R"({"t":"key","code":"KeyB","d":true})");
    }
    drainEvents();
    EXPECT_TRUE(events->events.isEmpty());
}
