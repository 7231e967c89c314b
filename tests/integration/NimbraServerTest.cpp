// The account-server client against the dev server's account API over HTTP on 127.0.0.1.

#include "OrbelHost/HostL10n.h"
#include "OrbelHost/NimbraServer.h"
#include "Platform/Fake/FakeKeychain.h"
#include "support/DevServer.h"
#include "support/Wait.h"

#include <QJsonArray>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace {
using Failure = NimbraServer::Failure;
using Kind = NimbraServer::Failure::Kind;

class NimbraServerTest : public ::testing::Test {
protected:
    DevServer server;
    std::shared_ptr<FakeKeychain> keychain = std::make_shared<FakeKeychain>();
    std::unique_ptr<NimbraServer> client;

    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        client = makeClient(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.port())));
    }

    std::unique_ptr<NimbraServer> makeClient(const QUrl& base, int timeoutMs = 10000)
    {
        NimbraServer::Config config { base, QStringLiteral("app-key-1"), timeoutMs, timeoutMs };
        return std::make_unique<NimbraServer>(config, keychain);
    }

    template <typename T, typename Call>
    T await(Call call)
    {
        std::optional<T> result;
        call([&](T value) { result = std::move(value); });
        EXPECT_TRUE(waitFor([&] { return result.has_value(); }, 15000));
        return result.value_or(T {});
    }
    NimbraServer::Result<NimbraServer::Ticket> ticket(NimbraServer& c)
    {
        return await<NimbraServer::Result<NimbraServer::Ticket>>([&](auto done) { c.hostTicket(done); });
    }
    NimbraServer::Result<QString> registerHost(NimbraServer& c)
    {
        return await<NimbraServer::Result<QString>>([&](auto done) { c.registerHost(QStringLiteral("Desk PC"), done); });
    }
    NimbraServer::Result<QString> linkRequest()
    {
        return await<NimbraServer::Result<QString>>([&](auto done) { client->createLinkRequest(done); });
    }
    NimbraServer::LinkStatus status(const QString& token)
    {
        return await<NimbraServer::LinkStatus>([&](auto done) { client->linkStatus(token, done); });
    }
    void mode(const QString& endpoint, const QJsonObject& settings)
    {
        QJsonObject body = settings;
        body.insert("endpoint", endpoint);
        server.post("account-mode", body);
    }
    QJsonObject lastRequest() { return server.get("account").value("requests").toArray().last().toObject(); }

    void store(const QString& hostToken)
    {
        EXPECT_TRUE(await<bool>([&](auto done) { client->storeHostToken(hostToken, done); }));
    }

    // Links through the dev server: returns the host token now in the keychain.
    QString link()
    {
        const auto token = std::get<QString>(linkRequest());
        const QString hostToken = server.post("link-approve", { { "token", token } }).value("host_token").toString();
        EXPECT_FALSE(hostToken.isEmpty());
        store(hostToken);
        return hostToken;
    }
};

Failure failureOf(const auto& result)
{
    const auto* failure = std::get_if<Failure>(&result);
    return failure ? *failure : Failure { Kind::Server, QStringLiteral("<no failure>") };
}
} // namespace

TEST_F(NimbraServerTest, RequestsHaveTheirShapes)
{
    // Unlinked: no Authorization header at all.
    EXPECT_EQ(failureOf(ticket(*client)).kind, Kind::Unauthorized);
    auto request = lastRequest();
    EXPECT_EQ(request.value("method").toString(), QStringLiteral("POST"));
    EXPECT_EQ(request.value("path").toString(), QStringLiteral("/v1/rd/host/ticket"));
    EXPECT_EQ(request.value("headers").toObject().value("x-app-key").toString(), QStringLiteral("app-key-1"));
    EXPECT_EQ(request.value("headers").toObject().value("content-type").toString(), QStringLiteral("application/json"));
    EXPECT_FALSE(request.value("headers").toObject().contains("authorization"));
    const QString deviceId = request.value("body").toObject().value("device_id").toString();
    EXPECT_EQ(deviceId.size(), 36);
    EXPECT_EQ(deviceId, deviceId.toLower());

    const auto token = std::get<QString>(linkRequest());
    request = lastRequest();
    EXPECT_EQ(request.value("path").toString(), QStringLiteral("/v1/link/request"));
    EXPECT_EQ(request.value("body").toObject(), (QJsonObject { { "device_id", deviceId }, { "platform", "desk" } }));
    EXPECT_FALSE(request.value("headers").toObject().contains("authorization"));

    EXPECT_EQ(status(token).status, QStringLiteral("pending"));
    request = lastRequest();
    EXPECT_EQ(request.value("method").toString(), QStringLiteral("GET"));
    EXPECT_EQ(request.value("path").toString(), QStringLiteral("/v1/link/status"));
    EXPECT_EQ(request.value("query").toObject().value("token").toString(), token);

    const QString hostToken = server.post("link-approve", { { "token", token } }).value("host_token").toString();
    const auto approved = status(token);
    EXPECT_EQ(approved.status, QStringLiteral("approved"));
    EXPECT_TRUE(approved.answered);
    EXPECT_EQ(approved.hostToken, std::optional<QString>(hostToken));
    store(hostToken);

    const auto hostId = registerHost(*client);
    ASSERT_TRUE(std::holds_alternative<QString>(hostId));
    request = lastRequest();
    EXPECT_EQ(request.value("path").toString(), QStringLiteral("/v1/rd/host/register"));
    EXPECT_EQ(request.value("headers").toObject().value("authorization").toString(), QStringLiteral("Bearer ") + hostToken);
    EXPECT_EQ(request.value("body").toObject(),
              (QJsonObject { { "device_id", deviceId }, { "name", "Desk PC" }, { "platform", "linux" } }));

    const auto issued = ticket(*client);
    ASSERT_TRUE(std::holds_alternative<NimbraServer::Ticket>(issued));
    EXPECT_FALSE(std::get<NimbraServer::Ticket>(issued).ticket.isEmpty());
    EXPECT_FALSE(std::get<NimbraServer::Ticket>(issued).signalURL.has_value());

    // The device id is the installation's: a second client (a second launch) sends the same.
    auto second = makeClient(client->config().baseURL);
    EXPECT_TRUE(second->deviceID().isEmpty()); // nothing is read on the caller's thread
    bool loaded = false;
    second->loadCredentials([&] { loaded = true; });
    ASSERT_TRUE(waitFor([&] { return loaded; }));
    EXPECT_EQ(second->deviceID(), deviceId);
    EXPECT_EQ(second->hostToken(), std::optional<QString>(hostToken));
}

TEST_F(NimbraServerTest, AnswersMapToFailures)
{
    link();
    mode("ticket", { { "mode", "not-deployed" } });
    EXPECT_EQ(failureOf(ticket(*client)), (Failure { Kind::NotDeployed, {} }));
    mode("ticket", { { "mode", "unauthorized" } });
    EXPECT_EQ(failureOf(ticket(*client)), (Failure { Kind::Unauthorized, {} }));
    mode("ticket", { { "mode", "error" }, { "status", 500 }, { "detail", "database down" } });
    EXPECT_EQ(failureOf(ticket(*client)), (Failure { Kind::Server, "database down" }));
    mode("ticket", { { "mode", "error" }, { "status", 503 } });
    EXPECT_EQ(failureOf(ticket(*client)), (Failure { Kind::Server, "HTTP 503" }));
    EXPECT_EQ(failureOf(ticket(*client)).describe(), QStringLiteral("server(\"HTTP 503\")"));
    mode("ticket", { { "mode", "bad-json" } });
    EXPECT_EQ(failureOf(ticket(*client)), (Failure { Kind::Server, HL(QStringLiteral("沒有拿到入場券")) }));
    mode("ticket", { { "mode", "missing-field" } });
    EXPECT_EQ(failureOf(ticket(*client)), (Failure { Kind::Server, HL(QStringLiteral("沒有拿到入場券")) }));
    mode("register", { { "mode", "missing-field" } });
    EXPECT_EQ(failureOf(registerHost(*client)), (Failure { Kind::Server, HL(QStringLiteral("沒有拿到 host_id")) }));
    mode("link-request", { { "mode", "missing-field" } });
    EXPECT_EQ(failureOf(linkRequest()), (Failure { Kind::Server, HL(QStringLiteral("沒有拿到 token")) }));
    mode("link-request", { { "mode", "not-deployed" } });
    EXPECT_EQ(failureOf(linkRequest()).kind, Kind::NotDeployed);

    // A slow server runs into the time-out: that is the transport failing.
    mode("ticket", { { "mode", "slow" }, { "delayMs", 3000 } });
    auto impatient = makeClient(client->config().baseURL, 500);
    EXPECT_EQ(failureOf(ticket(*impatient)).kind, Kind::Network);

    // Nobody listening.
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const quint16 port = closed.serverPort();
    closed.close();
    auto nowhere = makeClient(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)));
    EXPECT_EQ(failureOf(ticket(*nowhere)).kind, Kind::Network);
    EXPECT_EQ(failureOf(ticket(*nowhere)).describe(), QStringLiteral("network"));

    // A certificate nobody vouches for is a transport failure too, never ignored.
    auto tls = makeClient(QUrl(QStringLiteral("https://127.0.0.1:%1").arg(server.port())));
    EXPECT_EQ(failureOf(ticket(*tls)).kind, Kind::Network);
}

TEST_F(NimbraServerTest, LinkStatusNeverFailsAndTellsWhetherTheServerAnswered)
{
    const auto token = std::get<QString>(linkRequest());
    EXPECT_EQ(status(QStringLiteral("no-such-token")).status, QStringLiteral("invalid"));

    // Whatever the status code, the body is read; but only a 2xx answer counts as a verdict.
    mode("link-status", { { "mode", "error" }, { "status", 500 }, { "detail", "x" } });
    const auto failed = status(token);
    EXPECT_EQ(failed.status, QStringLiteral("invalid"));
    EXPECT_FALSE(failed.answered);
    mode("link-status", { { "mode", "bad-json" } });
    EXPECT_EQ(status(token).status, QStringLiteral("invalid"));
    mode("link-status", { { "mode", "normal" } });

    server.post("link-deny", { { "token", token } });
    EXPECT_EQ(status(token).status, QStringLiteral("invalid"));
    const auto second = std::get<QString>(linkRequest());
    server.post("link-expire", { { "token", second } });
    EXPECT_EQ(status(second).status, QStringLiteral("expired"));

    // A token with characters that need escaping reaches the server intact.
    EXPECT_EQ(status(QStringLiteral("a+b&c=d%e")).status, QStringLiteral("invalid"));
    EXPECT_EQ(lastRequest().value("query").toObject().value("token").toString(), QStringLiteral("a+b&c=d%e"));
}
