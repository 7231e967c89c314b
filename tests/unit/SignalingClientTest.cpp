#include "OrbelHost/HostL10n.h"
#include "OrbelHost/SignalingClient.h"
#include "support/LoopbackSignalServer.h"
#include "support/Wait.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

namespace {
struct ClientRig {
    LoopbackSignalServer server;
    int urlRequests = 0;
    bool giveUrl = true;
    QList<QPair<bool, QString>> states;
    QList<QJsonObject> messages;
    int revoked = 0;
    std::unique_ptr<SignalingClient> client;

    ClientRig()
    {
        client = std::make_unique<SignalingClient>(
            [this](SignalingClient::URLReady ready) {
                ++urlRequests;
                ready(giveUrl ? std::optional<QUrl>(server.url()) : std::nullopt);
            },
            SignalingTiming { 300, 200, 40, 1000 });
        client->onState = [this](bool online, const QString& text) { states.append({ online, text }); };
        client->onMessage = [this](const QJsonObject& m) { messages << m; };
        client->onRevoked = [this] { ++revoked; };
    }
    bool saw(const QString& text) const
    {
        for (const auto& s : states)
            if (s.second == text)
                return true;
        return false;
    }
};
} // namespace

TEST(SignalingClientTest, FramesBecomeMessagesAndBadFramesAreDropped)
{
    ClientRig rig;
    rig.client->start();
    ASSERT_TRUE(waitFor([&] { return rig.messages.size() == 1; }));
    EXPECT_EQ(rig.states.first(), qMakePair(false, HL(QStringLiteral("連線到伺服器…"))));
    EXPECT_EQ(rig.states.last(), qMakePair(true, HL(QStringLiteral("在線上，等待連線"))));

    rig.server.sendText("[1,2,3]");
    rig.server.sendText("not json at all");
    rig.server.sendText(QString(300000, '['));
    rig.server.sendText(QStringLiteral("{\"type\":\"big\",\"s\":\"%1\"}").arg(QString(1100 * 1024, 'x')));
    rig.server.sendBinary(R"({"type":"viewer-join","from":"b1"})");
    rig.server.sendText(R"({"type":"viewer-leave","from":"b1"})");
    ASSERT_TRUE(waitFor([&] { return rig.messages.size() == 3; }));
    EXPECT_EQ(rig.messages[1].value("type").toString(), QStringLiteral("viewer-join"));
    EXPECT_EQ(rig.messages[2].value("type").toString(), QStringLiteral("viewer-leave"));
    EXPECT_EQ(rig.server.connections, 1);

    // Sending works from any thread and arrives as one text frame each.
    rig.client->send({ { "type", "offer" }, { "to", "b1" }, { "sdp", "x" } });
    QThread* worker = QThread::create([&] { rig.client->send({ { "type", "candidate" }, { "to", "b1" } }); });
    worker->start();
    worker->wait();
    delete worker;
    EXPECT_TRUE(waitFor([&] { return rig.server.received.size() == 2; }));
    EXPECT_EQ(rig.server.received[0].value("type").toString(), QStringLiteral("offer"));
    // What cannot be serialised is not sent.
    rig.client->send({ { "type", QString(QChar(0xD800)) } });
    rig.client->send({ { "type", "sentinel" } });
    ASSERT_TRUE(waitFor([&] { return rig.server.received.size() >= 3; }));
    EXPECT_EQ(rig.server.received.size(), 3);
    EXPECT_EQ(rig.server.received[2].value("type").toString(), QStringLiteral("sentinel"));
}

TEST(SignalingClientTest, NoURLMeansRetryWithItsOwnText)
{
    ClientRig rig;
    rig.giveUrl = false;
    rig.client->start();
    EXPECT_TRUE(waitFor([&] { return rig.urlRequests >= 3; }));
    EXPECT_TRUE(rig.saw(HL(QStringLiteral("拿不到連線資格，稍後重試…"))));
    EXPECT_EQ(rig.server.connections, 0);
    rig.giveUrl = true;
    EXPECT_TRUE(waitFor([&] { return rig.server.connections == 1 && rig.messages.size() == 1; }));
}

TEST(SignalingClientTest, StopIsFinal)
{
    ClientRig rig;
    rig.client->start();
    ASSERT_TRUE(waitFor([&] { return rig.messages.size() == 1; }));
    const auto reportsBefore = rig.states.size();
    rig.client->stop();
    rig.server.sendText(R"({"type":"viewer-join","from":"late"})");
    // Nothing is left that could report, connect or retry later.
    EXPECT_FALSE(rig.client->busy());
    drainEvents();
    EXPECT_EQ(rig.states.size(), reportsBefore);
    EXPECT_EQ(rig.messages.size(), 1);
    EXPECT_EQ(rig.server.connections, 1);
    EXPECT_FALSE(rig.client->hasOpenSocket());

    // A stop while the URL is still being fetched: the late URL opens nothing.
    ClientRig slow;
    SignalingClient::URLReady pending;
    slow.client = std::make_unique<SignalingClient>([&](SignalingClient::URLReady ready) { pending = std::move(ready); });
    slow.client->onState = [&](bool online, const QString& text) { slow.states.append(qMakePair(online, text)); };
    slow.client->start();
    ASSERT_TRUE(pending);
    slow.client->stop();
    EXPECT_FALSE(slow.client->busy());
    pending(slow.server.url());
    drainEvents();
    EXPECT_FALSE(slow.client->busy());
    EXPECT_EQ(slow.server.connections, 0);
    EXPECT_EQ(slow.states.size(), 1);
}

TEST(SignalingClientTest, CloseCodesPickTextAndWhetherToRetry)
{
    struct Case {
        int code;
        const char* text;
        bool retries;
    };
    const Case cases[] = {
        { 4401, "入場券無效，重新取得中…", true },
        { 4403, "主機代號被別台用掉了", true },
        { 4429, "嘗試太多次，稍後重試", true },
        { 1000, "伺服器斷線，重新連線中…", true },
        { 4409, "同一台主機在別處重新連線", false },
        { 4410, "這台電腦已經從帳號移除", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        ClientRig rig;
        rig.client->start();
        ASSERT_TRUE(waitFor([&] { return rig.messages.size() == 1; }));
        rig.server.closeWith(c.code);
        ASSERT_TRUE(waitFor([&] { return rig.saw(HL(QString::fromUtf8(c.text))); }));
        EXPECT_FALSE(rig.states.last().first);
        EXPECT_EQ(rig.revoked, c.code == 4410 ? 1 : 0);
        if (c.retries) {
            EXPECT_TRUE(waitFor([&] { return rig.server.connections == 2; }));
        } else {
            EXPECT_FALSE(rig.client->busy());
            EXPECT_EQ(rig.server.connections, 1);
            EXPECT_EQ(rig.urlRequests, 1);
        }
    }
}

TEST(SignalingClientTest, AHandshakeThatNeverEndsIsGivenUpAndRetried)
{
    // A listener that accepts TCP and never answers the upgrade.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    QList<QTcpSocket*> accepted;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        while (auto* socket = silent.nextPendingConnection())
            accepted << socket;
    });
    int urlRequests = 0;
    QList<QPair<bool, QString>> states;
    QElapsedTimer clock;
    qint64 gaveUpAfter = -1;
    const SignalingTiming timing { 300, 200, 40, 1000 };
    SignalingClient client(
        [&](SignalingClient::URLReady ready) {
            ++urlRequests;
            ready(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(silent.serverPort())));
        },
        timing);
    const QString down = HL(QStringLiteral("伺服器斷線，重新連線中…"));
    client.onState = [&](bool online, const QString& text) {
        states.append({ online, text });
        if (text == down && gaveUpAfter < 0)
            gaveUpAfter = clock.elapsed();
    };
    clock.start();
    client.start();
    ASSERT_TRUE(waitFor([&] { return accepted.size() == 1; }));
    // Given up once heartbeat + pong deadline have passed, then retried with a fresh URL.
    ASSERT_TRUE(waitFor([&] { return urlRequests >= 2 && accepted.size() >= 2; }, 3000));
    EXPECT_GE(gaveUpAfter, timing.heartbeatMs + timing.pongDeadlineMs - 50);
    EXPECT_FALSE(states.last().first);
    client.stop();
}
