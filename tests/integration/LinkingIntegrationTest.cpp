// Linking this computer by QR code, then going online with tickets, against the dev server's
// account API and signaling; the keychain is in memory.

#include "OrbelHost/HostL10n.h"
#include "support/ControllerRig.h"
#include "support/DevServer.h"
#include "support/Wait.h"

#include <QJsonArray>

#include <gtest/gtest.h>

namespace {
class LinkingIntegrationTest : public ::testing::Test {
protected:
    DevServer server;
    ControllerRig rig;
    QStringList messages;

    void SetUp() override { ASSERT_TRUE(server.start()); }

    HostController& make()
    {
        rig.env.linkPollMs = 50;
        rig.useDevServerAccount(server.port());
        auto& controller = rig.make();
        QObject::connect(&controller, &HostController::linkMessageChanged, [&] { messages << controller.linkMessage(); });
        controller.start();
        return controller;
    }

    // Waits for the QR code and returns its link token.
    QString qrShown(HostController& controller)
    {
        EXPECT_TRUE(waitFor([&] { return !controller.linkToken().isEmpty(); }));
        return controller.linkToken();
    }

    // Status polls the server has seen, for one link token or for any.
    int polls(const QString& token = {})
    {
        int n = 0;
        for (const auto& value : server.get("account").value("requests").toArray()) {
            const auto request = value.toObject();
            n += request.value("path").toString() == "/v1/link/status"
                && (token.isEmpty() || request.value("query").toObject().value("token").toString() == token);
        }
        return n;
    }

    // The host polls again only after it has handled the previous answer: once `count` more
    // polls have arrived, the answers to all polls before them were acted on.
    void waitForPolls(int count, const QString& token = {})
    {
        const int target = polls(token) + count;
        EXPECT_TRUE(waitFor([&] { return polls(token) >= target; })) << "polling stopped";
    }

    int pendingLinks()
    {
        int n = 0;
        for (const auto& link : server.get("account").value("links").toArray())
            n += link.toObject().value("status").toString() == "pending";
        return n;
    }
};
} // namespace

TEST_F(LinkingIntegrationTest, LinksRegistersAndGoesOnlineWithATicket)
{
    auto& controller = make();
    EXPECT_TRUE(waitFor([&] { return controller.signalStatus() == HL(QStringLiteral("尚未綁定：請在下方用手機的 Velquin 掃描 QR Code")); }));
    controller.startLinking();
    const QString token = qrShown(controller);
    EXPECT_FALSE(controller.linkQRCode().isNull());
    EXPECT_EQ(controller.linkMessage(), HL(QStringLiteral("用手機的 Velquin 掃這個 QR Code")));
    EXPECT_EQ(messages.first(), HL(QStringLiteral("產生 QR Code…")));

    const QString hostToken = server.post("link-approve", { { "token", token } }).value("host_token").toString();
    ASSERT_TRUE(waitFor([&] { return controller.signalOnline(); }));
    EXPECT_TRUE(controller.linkToken().isEmpty());
    EXPECT_TRUE(controller.linkQRCode().isNull());
    EXPECT_TRUE(controller.linkMessage().isEmpty());
    EXPECT_TRUE(messages.contains(HL(QStringLiteral("已核准，登記這台電腦…"))));
    EXPECT_EQ(rig.keychain->peek(NimbraServer::kTokenService, NimbraServer::kTokenAccount), std::optional<QString>(hostToken));
    const QString accountHostId = controller.accountHostId();
    EXPECT_TRUE(accountHostId.startsWith("h-"));
    EXPECT_EQ(rig.settings->value("accountHostId").toString(), accountHostId);

    // Online under the account's host id, through a ticket (not the id-and-key pair).
    auto hosts = server.hosts();
    ASSERT_EQ(hosts.size(), 1);
    EXPECT_EQ(hosts[0].toObject().value("id").toString(), accountHostId);
    EXPECT_TRUE(hosts[0].toObject().value("query").toObject().contains("ticket"));
    const auto account = server.get("account");
    EXPECT_EQ(account.value("hosts").toArray()[0].toObject().value("platform").toString(), QStringLiteral("linux"));

    // A server restart: the host comes back with a fresh ticket (each is good once).
    server.post("restart", { { "downMs", 300 } });
    ASSERT_TRUE(waitFor([&] { return !controller.signalOnline(); }));
    ASSERT_TRUE(waitFor([&] { return controller.signalOnline(); }, 10000));
    EXPECT_EQ(server.hosts()[0].toObject().value("id").toString(), accountHostId);

    // The server revokes the link: the host forgets it and stops connecting.
    server.post("join", {});
    ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 1; }));
    server.post("revoke", {});
    ASSERT_TRUE(waitFor([&] { return controller.accountHostId().isNull(); }));
    EXPECT_EQ(controller.viewerCount(), 0);
    EXPECT_TRUE(waitFor([&] { return !rig.keychain->peek(NimbraServer::kTokenService, NimbraServer::kTokenAccount); }));
    EXPECT_EQ(controller.linkMessage(), HL(QStringLiteral("這台電腦已經從帳號移除，要用的話請重新綁定")));
    EXPECT_EQ(controller.signalStatus(), HL(QStringLiteral("尚未綁定：請在下方用手機的 Velquin 掃描 QR Code")));
    EXPECT_TRUE(!controller.signaling() || !controller.signaling()->busy());
    EXPECT_TRUE(waitFor([&] { return server.hosts().isEmpty(); }));
}

TEST_F(LinkingIntegrationTest, DeniedExpiredAndTimedOutLinksEndWithTheirMessage)
{
    rig.env.linkMaxPolls = 4;
    auto& controller = make();
    controller.startLinking();
    server.post("link-deny", { { "token", qrShown(controller) } });
    ASSERT_TRUE(waitFor([&] { return controller.linkToken().isEmpty(); }));
    EXPECT_EQ(controller.linkMessage(), HL(QStringLiteral("QR Code 過期了，請再試一次")));

    controller.startLinking();
    server.post("link-expire", { { "token", qrShown(controller) } });
    ASSERT_TRUE(waitFor([&] { return controller.linkToken().isEmpty(); }));
    EXPECT_EQ(controller.linkMessage(), HL(QStringLiteral("QR Code 過期了，請再試一次")));

    controller.startLinking();
    qrShown(controller);
    ASSERT_TRUE(waitFor([&] { return controller.linkToken().isEmpty(); }));
    EXPECT_EQ(controller.linkMessage(), HL(QStringLiteral("等太久了，請再試一次")));
    EXPECT_TRUE(controller.accountHostId().isNull());

    server.post("account-mode", { { "endpoint", "link-request" }, { "mode", "not-deployed" } });
    controller.startLinking();
    ASSERT_TRUE(waitFor([&] { return !controller.accountServerReady(); }));
    EXPECT_EQ(controller.linkMessage(), HL(QStringLiteral("伺服器還沒開放帳號綁定，暫時請用配對密碼")));
    server.post("account-mode", { { "endpoint", "link-request" }, { "mode", "error" }, { "status", 500 }, { "detail", "boom" } });
    controller.startLinking();
    ASSERT_TRUE(waitFor([&] { return controller.linkMessage() == HLFormat(QStringLiteral("綁定失敗：%@"), { "server(\"boom\")" }); }));
}

TEST_F(LinkingIntegrationTest, LostPollsKeepPollingAndOnlyA2xxApprovalCounts)
{
    auto& controller = make();
    controller.startLinking();
    const QString token = qrShown(controller);
    server.post("account-mode", { { "endpoint", "link-status" }, { "mode", "error" }, { "status", 502 } });
    server.post("link-approve", { { "token", token } });
    waitForPolls(3, token);
    // Failed polls are no verdict: still waiting, QR code still shown.
    EXPECT_EQ(controller.linkToken(), token);
    EXPECT_TRUE(controller.accountHostId().isNull());
    server.post("account-mode", { { "endpoint", "link-status" }, { "mode", "normal" } });
    ASSERT_TRUE(waitFor([&] { return controller.signalOnline(); }));
    // Registered exactly once.
    int registrations = 0;
    for (const auto& request : server.get("account").value("requests").toArray())
        registrations += request.toObject().value("path").toString() == "/v1/rd/host/register";
    EXPECT_EQ(registrations, 1);
}

TEST_F(LinkingIntegrationTest, RestartCancelAndUnlinkLeaveNoStaleOutcome)
{
    auto& controller = make();
    controller.startLinking();
    const QString first = qrShown(controller);
    controller.startLinking();
    ASSERT_TRUE(waitFor([&] { return !controller.linkToken().isEmpty() && controller.linkToken() != first; }));
    // Approving the abandoned request changes nothing.
    server.post("link-approve", { { "token", first } });
    waitForPolls(2, controller.linkToken());
    EXPECT_TRUE(controller.accountHostId().isNull());

    // Cancel: an approval that follows is not acted on.
    const QString second = controller.linkToken();
    controller.cancelLinking();
    EXPECT_TRUE(controller.linkToken().isEmpty());
    EXPECT_TRUE(controller.linkMessage().isEmpty());
    server.post("link-approve", { { "token", second } });
    qsizetype seen = messages.size();

    // The next request's polls are the sentinel: between them and the cancel, nothing.
    controller.startLinking();
    const QString third = qrShown(controller);
    waitForPolls(2, third);
    const QStringList fresh { HL(QStringLiteral("產生 QR Code…")), HL(QStringLiteral("用手機的 Velquin 掃這個 QR Code")) };
    EXPECT_EQ(messages.mid(seen), fresh);
    EXPECT_TRUE(controller.accountHostId().isNull());

    // Unlink while polling: the poll stops, the approval that follows is not acted on.
    controller.unlink();
    server.post("link-approve", { { "token", third } });
    EXPECT_TRUE(controller.linkToken().isEmpty());
    seen = messages.size();

    // Linked, with a phone connected: Unlink ends the session too.
    controller.startLinking();
    const QString fourth = qrShown(controller);
    waitForPolls(2, fourth);
    EXPECT_EQ(messages.mid(seen), fresh);
    EXPECT_TRUE(controller.accountHostId().isNull());
    server.post("link-approve", { { "token", fourth } });
    ASSERT_TRUE(waitFor([&] { return controller.signalOnline(); }));
    server.post("join", {});
    ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 1; }));
    controller.unlink();
    EXPECT_EQ(controller.viewerCount(), 0);
    EXPECT_FALSE(controller.signalOnline());
    EXPECT_TRUE(waitFor([&] { return !rig.keychain->peek(NimbraServer::kTokenService, NimbraServer::kTokenAccount); }));
    EXPECT_TRUE(!controller.signaling() || !controller.signaling()->busy());
    EXPECT_TRUE(waitFor([&] { return server.hosts().isEmpty(); }));
}

TEST_F(LinkingIntegrationTest, AKeychainThatKeepsNothingLeavesTheHostUnlinked)
{
    rig.keychain->failWrites = true;
    auto& controller = make();
    controller.startLinking();
    server.post("link-approve", { { "token", qrShown(controller) } });
    ASSERT_TRUE(waitFor([&] { return controller.linkMessage() == HLFormat(QStringLiteral("綁定失敗：%@"), { "keychain" }); }));
    EXPECT_TRUE(controller.accountHostId().isNull());
    EXPECT_TRUE(controller.linkToken().isEmpty());
    EXPECT_TRUE(!controller.signaling() || !controller.signaling()->busy());
    EXPECT_TRUE(waitFor([&] { return server.hosts().isEmpty(); }));
}
