// The controller and its signaling client against the real dev server over a real WebSocket,
// with the WebRTC layer faked.

#include "OrbelHost/HostL10n.h"
#include "support/ControllerRig.h"
#include "support/DevServer.h"
#include "support/Wait.h"

#include <QDir>
#include <QJsonArray>

#include <gtest/gtest.h>

namespace {
int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

class SignalingIntegrationTest : public ::testing::Test {
protected:
    DevServer server;
    ControllerRig rig;
    QStringList statuses;

    void SetUp() override { ASSERT_TRUE(server.start()); }

    HostController& startOnline()
    {
        rig.link();
        rig.useDevServerTickets(server.port());
        auto& controller = rig.make();
        QObject::connect(&controller, &HostController::signalStatusChanged, [&] { statuses << controller.signalStatus(); });
        controller.start();
        EXPECT_TRUE(waitFor([&] { return controller.signalOnline(); }, 10000));
        return controller;
    }

    QStringList join(int count)
    {
        QStringList ids;
        for (const auto& id : server.post("join", { { "count", count } }).value("viewers").toArray())
            ids << id.toString();
        return ids;
    }

    QJsonArray to(const QString& viewer, const QString& type)
    {
        QJsonArray out;
        for (const auto& m : server.messagesTo(viewer))
            if (m.toObject().value("type").toString() == type)
                out << m;
        return out;
    }
};
} // namespace

TEST_F(SignalingIntegrationTest, GoesOnlineWithATicketAndServesViewers)
{
    auto& controller = startOnline();
    EXPECT_EQ(controller.signalStatus(), HL(QStringLiteral("在線上，等待連線")));
    EXPECT_EQ(statuses.first(), HL(QStringLiteral("連線到伺服器…")));
    const auto hosts = server.hosts();
    ASSERT_EQ(hosts.size(), 1);
    EXPECT_EQ(hosts[0].toObject().value("id").toString(), controller.hostId());
    EXPECT_EQ(hosts[0].toObject().value("query").toObject().value("role").toString(), QStringLiteral("host"));

    const auto viewers = join(2);
    ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 2; }));
    for (const auto& viewer : viewers)
        EXPECT_TRUE(waitFor([&] { return to(viewer, "offer").size() == 1; })) << viewer.toStdString();

    // The phone's answer and candidate come back through the server.
    server.post("send-as-viewer", { { "viewer", viewers[0] }, { "message", QJsonObject { { "type", "answer" }, { "sdp", "v=0 phone" } } } });
    server.post("send-as-viewer", { { "viewer", viewers[0] },
                                    { "message", QJsonObject { { "type", "candidate" },
                                                               { "candidate", QJsonObject { { "candidate", "candidate:9 1 udp 1 127.0.0.1 9 typ host" }, { "sdpMid", "0" }, { "sdpMLineIndex", 0 } } } } } });
    auto pc = rig.connectionOf(viewers[0]);
    ASSERT_TRUE(waitFor([&] { return pc->remoteDescription() && pc->remoteCandidates().size() == 1; }));
    EXPECT_EQ(pc->remoteDescription()->sdp, QStringLiteral("v=0 phone"));

    server.post("leave", { { "viewer", viewers[0] } });
    EXPECT_TRUE(waitFor([&] { return controller.viewerCount() == 1; }));
    EXPECT_TRUE(pc->closed());
    server.post("leave", { { "viewer", viewers[1] } });
    EXPECT_TRUE(waitFor([&] { return controller.viewerCount() == 0; }));
    EXPECT_FALSE(controller.capturer().running());
}

TEST_F(SignalingIntegrationTest, CloseCodesGiveTheirStatusAndRetryBehaviour)
{
    auto& controller = startOnline();
    for (int code : { 4401, 4403, 4429, 4000 }) {
        SCOPED_TRACE(code);
        join(1);
        ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 1; }));
        const int tickets = rig.ticketRequests();
        server.post("close-host", { { "code", code } });
        ASSERT_TRUE(waitFor([&] { return statuses.contains(SignalingClient::closeText(code)); }));
        EXPECT_EQ(controller.viewerCount(), 0);
        // A fresh ticket for the new attempt, then online again.
        ASSERT_TRUE(waitFor([&] { return controller.signalOnline() && server.hosts().size() == 1; }, 5000));
        EXPECT_GT(rig.ticketRequests(), tickets);
        statuses.clear();
    }

    // Displaced: the status stays and no attempt follows.
    server.post("close-host", { { "code", 4409 } });
    ASSERT_TRUE(waitFor([&] { return statuses.contains(HL(QStringLiteral("同一台主機在別處重新連線"))); }));
    const int tickets = rig.ticketRequests();
    EXPECT_FALSE(controller.signaling()->busy());
    EXPECT_EQ(rig.ticketRequests(), tickets);
    EXPECT_TRUE(server.hosts().isEmpty());
    EXPECT_EQ(controller.signalStatus(), HL(QStringLiteral("同一台主機在別處重新連線")));

    // Reconnect makes a new client; revocation then unlinks for good.
    controller.reconnect();
    ASSERT_TRUE(waitFor([&] { return controller.signalOnline(); }));
    server.post("close-host", { { "code", 4410 } });
    ASSERT_TRUE(waitFor([&] { return controller.accountHostId().isNull(); }));
    EXPECT_EQ(controller.signalStatus(), HL(QStringLiteral("尚未綁定：請在下方用手機的 Velquin 掃描 QR Code")));
    EXPECT_TRUE(!controller.signaling() || !controller.signaling()->busy());
    EXPECT_TRUE(waitFor([&] { return server.hosts().isEmpty(); }));
}

TEST_F(SignalingIntegrationTest, UnansweredPingEndsTheConnectionWithinTheDeadline)
{
    auto& controller = startOnline();
    server.post("ping-answer", { { "enabled", false } });
    statuses.clear();
    // Heartbeat 300 ms + deadline 200 ms.
    ASSERT_TRUE(waitFor([&] { return statuses.contains(HL(QStringLiteral("伺服器斷線，重新連線中…"))); }, 3000));
    EXPECT_GE(server.hosts().isEmpty() ? 1 : server.hosts()[0].toObject().value("pings").toInt(), 1);
    server.post("ping-answer", { { "enabled", true } });
    EXPECT_TRUE(waitFor([&] { return controller.signalOnline(); }, 5000));
}

TEST_F(SignalingIntegrationTest, BackOffDoublesToItsCapAndResetsOnAnyMessage)
{
    // Each attempt fetches a ticket first; note the delay the client will use after it.
    QList<int> delays;
    rig.onTicketRequest = [&] {
        if (rig.controller && rig.controller->signaling())
            delays << rig.controller->signaling()->retryDelayMs();
    };
    auto& controller = startOnline();
    delays.clear();
    // Down long enough for 50+100+200+400+800+1500 ms of failed attempts.
    server.post("restart", { { "downMs", 3500 } });
    ASSERT_TRUE(waitFor([&] { return !controller.signalOnline(); }));
    ASSERT_TRUE(waitFor([&] { return controller.signalOnline(); }, 15000));
    ASSERT_GE(delays.size(), 6);
    // While down every attempt fails; the delay doubles up to its cap of 1500 ms.
    const QList<int> expected { 100, 200, 400, 800, 1500, 1500, 1500, 1500 };
    for (int i = 0; i + 1 < delays.size() && i < expected.size(); ++i)
        EXPECT_EQ(delays[i], expected[i]) << "attempt " << i;
    // A message from the server starts the schedule over.
    EXPECT_EQ(controller.signaling()->retryDelayMs(), 50);
}

TEST_F(SignalingIntegrationTest, PauseAndDisconnectAllSendOneRejectionPerViewer)
{
    auto& controller = startOnline();
    auto viewers = join(2);
    ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 2; }));
    controller.setPaused(true);
    for (const auto& viewer : viewers) {
        ASSERT_TRUE(waitFor([&] { return to(viewer, "rejected").size() == 1; })) << viewer.toStdString();
        EXPECT_EQ(to(viewer, "rejected")[0].toObject().value("reason").toString(), QStringLiteral("電腦端中斷了連線"));
    }
    EXPECT_EQ(controller.viewerCount(), 0);
    auto refused = join(1);
    ASSERT_TRUE(waitFor([&] { return to(refused[0], "rejected").size() == 1; }));
    EXPECT_EQ(to(refused[0], "rejected")[0].toObject().value("reason").toString(), QStringLiteral("電腦端暫停了遠端"));

    controller.setPaused(false);
    viewers = join(3);
    ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 3; }));
    controller.disconnectAll();
    for (const auto& viewer : viewers)
        EXPECT_TRUE(waitFor([&] { return to(viewer, "rejected").size() == 1; })) << viewer.toStdString();
    // A later join's offer is the sentinel: anything sent before it has arrived.
    const auto sentinel = join(1);
    ASSERT_TRUE(waitFor([&] { return to(sentinel[0], "offer").size() == 1; }));
    for (const auto& viewer : viewers)
        EXPECT_EQ(to(viewer, "rejected").size(), 1);
}

TEST_F(SignalingIntegrationTest, AFloodOfJoinsIsBounded)
{
    auto& controller = startOnline();
    const int baseline = threadCount();
    const auto viewers = join(50);
    ASSERT_EQ(viewers.size(), 50);
    ASSERT_TRUE(waitFor([&] {
        int rejected = 0;
        for (const auto& m : server.hostMessages())
            rejected += m.toObject().value("type").toString() == "rejected";
        return rejected == 42;
    }));
    EXPECT_EQ(controller.viewerCount(), 8);
    for (const auto& m : server.hostMessages()) {
        if (m.toObject().value("type").toString() == "rejected") {
            EXPECT_EQ(m.toObject().value("reason").toString(), QStringLiteral("連線的手機太多了，請稍後再試"));
        }
    }
    for (const auto& viewer : viewers)
        server.post("leave", { { "viewer", viewer } });
    ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 0; }));
    EXPECT_TRUE(waitFor([&] { return threadCount() <= baseline; }));
}

TEST_F(SignalingIntegrationTest, MalformedAndOversizedFramesAreSurvived)
{
    auto& controller = startOnline();
    const auto iceServers = controller.iceServers();
    auto sendText = [&](const QString& text) { server.post("send-to-host", { { "text", text } }); };
    sendText("[1,2,3]");
    sendText("not json");
    sendText(QString(100000, '[') );
    sendText(QStringLiteral("{\"type\":\"x\",\"s\":\"%1\"}").arg(QString(2 * 1024 * 1024, 'y')));
    sendText(R"({"type":"viewer-join","from":5})");
    sendText(R"({"type":"viewer-join"})");
    sendText(R"({"type":7,"from":"a"})");
    sendText(R"({"type":"answer","from":"ghost","sdp":{"a":1}})");
    sendText(R"({"type":"candidate","from":"ghost","candidate":[1]})");
    sendText(R"({"type":"registered","iceServers":"nope"})");
    server.post("send-to-host", { { "base64", QString::fromLatin1(QByteArray("\xff\xfe\x00garbage", 10).toBase64()) } });
    // A binary frame holding an object counts like text.
    server.post("send-to-host", { { "base64", QString::fromLatin1(QByteArray(R"({"type":"viewer-join","from":"bin"})").toBase64()) } });
    ASSERT_TRUE(waitFor([&] { return controller.peer("bin") != nullptr; }));
    EXPECT_EQ(controller.viewerCount(), 1);
    EXPECT_TRUE(controller.signalOnline());
    // Still the same connection: nothing above was worth a reconnect.
    EXPECT_EQ(rig.ticketRequests(), 1);
    EXPECT_EQ(controller.iceServers(), iceServers);
}
