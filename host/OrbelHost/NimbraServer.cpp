#include "OrbelHost/NimbraServer.h"

#include "OrbelHost/HostL10n.h"
#include "OrbelHost/JsonMessage.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QUrlQuery>
#include <QUuid>

namespace {
// A body that is not a JSON object counts as an empty one; so does one too large to read.
QJsonObject bodyObject(QNetworkReply* reply, bool oversized)
{
    if (oversized)
        return {};
    return parseJsonObject(reply->readAll()).value_or(QJsonObject());
}

std::optional<QString> stringField(const QJsonObject& object, const char* key)
{
    const auto value = object.value(QLatin1String(key));
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

// The string `key` of a successful answer, or the failure to report: the transport's, or
// `missing` (a server failure) when the answer lacks the field.
NimbraServer::Result<QString> requiredField(const std::optional<QJsonObject>& answer, const NimbraServer::Failure& failure,
                                            const char* key, const QString& missing)
{
    if (!answer)
        return failure;
    if (auto value = stringField(*answer, key))
        return *value;
    return NimbraServer::Failure { NimbraServer::Failure::Kind::Server, missing };
}
} // namespace

QString NimbraServer::Failure::describe() const
{
    switch (kind) {
    case Kind::Server: return QStringLiteral("server(\"%1\")").arg(message);
    case Kind::NotDeployed: return QStringLiteral("notDeployed");
    case Kind::Unauthorized: return QStringLiteral("unauthorized");
    case Kind::Network: return QStringLiteral("network");
    }
    return {};
}

NimbraServer::NimbraServer(Config config, Keychain& keychain, QObject* parent)
    : QObject(parent)
    , keychain_(keychain)
    , config_(std::move(config))
    , network_(new QNetworkAccessManager(this))
{
    // Certificate errors stay errors: nothing here ignores them.
    network_->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

NimbraServer::NimbraServer(Keychain& keychain, QObject* parent)
    : QObject(parent)
    , keychain_(keychain)
{
}

NimbraServer::~NimbraServer() = default;

QString NimbraServer::deviceID()
{
    if (deviceID_)
        return *deviceID_;
    auto stored = keychain_.value(kDeviceService, kDeviceAccount);
    if (!stored || stored->isEmpty()) {
        stored = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
        keychain_.write(kDeviceService, kDeviceAccount, *stored);
    }
    deviceID_ = stored;
    return *deviceID_;
}

std::optional<QString> NimbraServer::hostToken()
{
    return keychain_.value(kTokenService, kTokenAccount);
}

bool NimbraServer::setHostToken(const std::optional<QString>& token)
{
    if (!token)
        return keychain_.remove(kTokenService, kTokenAccount);
    return keychain_.write(kTokenService, kTokenAccount, *token);
}

QNetworkReply* NimbraServer::track(QNetworkReply* reply)
{
    // Stop reading an answer that has grown past what any real answer needs.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxBodyBytes) {
            reply->setProperty("oversized", true);
            reply->abort();
        }
    });
    return reply;
}

void NimbraServer::post(const QString& path, const QJsonObject& body, const std::optional<QString>& bearer, Answer done)
{
    QUrl url = config_.baseURL;
    url.setPath(path);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("X-App-Key", config_.appKey.toUtf8());
    if (bearer)
        request.setRawHeader("Authorization", "Bearer " + bearer->toUtf8());
    request.setTransferTimeout(config_.postTimeoutMs);
    const auto bytes = serializeJson(body);
    if (!bytes) {
        done(std::nullopt, { Failure::Kind::Server, QStringLiteral("unserialisable request") });
        return;
    }
    auto* reply = track(network_->post(request, *bytes));
    connect(reply, &QNetworkReply::finished, this, [reply, done] {
        reply->deleteLater();
        const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const bool oversized = reply->property("oversized").toBool();
        if (!statusAttribute.isValid() && !oversized) {
            done(std::nullopt, { Failure::Kind::Network, {} });
            return;
        }
        const int status = statusAttribute.toInt();
        if (status == 401) {
            done(std::nullopt, { Failure::Kind::Unauthorized, {} });
            return;
        }
        if (status == 404) {
            done(std::nullopt, { Failure::Kind::NotDeployed, {} });
            return;
        }
        const QJsonObject answer = bodyObject(reply, oversized);
        if (status < 200 || status > 299) {
            const auto detail = stringField(answer, "detail");
            done(std::nullopt, { Failure::Kind::Server, detail.value_or(QStringLiteral("HTTP %1").arg(status)) });
            return;
        }
        done(answer, {});
    });
}

void NimbraServer::hostTicket(std::function<void(Result<Ticket>)> done)
{
    post(QStringLiteral("/v1/rd/host/ticket"), { { QStringLiteral("device_id"), deviceID() } }, hostToken(),
         [done](std::optional<QJsonObject> answer, Failure failure) {
             auto ticket = requiredField(answer, failure, "ticket", HL(QStringLiteral("沒有拿到入場券")));
             if (auto* error = std::get_if<Failure>(&ticket))
                 return done(*error);
             done(Ticket { std::get<QString>(ticket), stringField(*answer, "signal_url") });
         });
}

void NimbraServer::registerHost(const QString& name, std::function<void(Result<QString>)> done)
{
    // This host runs on Linux; the account lists it as such.
    const QJsonObject body { { QStringLiteral("device_id"), deviceID() },
                             { QStringLiteral("name"), name },
                             { QStringLiteral("platform"), QStringLiteral("linux") } };
    post(QStringLiteral("/v1/rd/host/register"), body, hostToken(), [done](std::optional<QJsonObject> answer, Failure failure) {
        done(requiredField(answer, failure, "host_id", HL(QStringLiteral("沒有拿到 host_id"))));
    });
}

void NimbraServer::createLinkRequest(std::function<void(Result<QString>)> done)
{
    const QJsonObject body { { QStringLiteral("device_id"), deviceID() }, { QStringLiteral("platform"), QStringLiteral("desk") } };
    post(QStringLiteral("/v1/link/request"), body, std::nullopt, [done](std::optional<QJsonObject> answer, Failure failure) {
        done(requiredField(answer, failure, "token", HL(QStringLiteral("沒有拿到 token"))));
    });
}

void NimbraServer::linkStatus(const QString& token, std::function<void(LinkStatus)> done)
{
    QUrl url = config_.baseURL;
    url.setPath(QStringLiteral("/v1/link/status"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("token"), QString::fromUtf8(QUrl::toPercentEncoding(token)));
    url.setQuery(query);
    QNetworkRequest request(url);
    request.setRawHeader("X-App-Key", config_.appKey.toUtf8());
    request.setTransferTimeout(config_.statusTimeoutMs);
    auto* reply = track(network_->get(request));
    connect(reply, &QNetworkReply::finished, this, [reply, done] {
        reply->deleteLater();
        LinkStatus result;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid() || reply->property("oversized").toBool())
            return done(result);
        const auto answer = parseJsonObject(reply->readAll());
        if (!answer)
            return done(result);
        result.status = stringField(*answer, "status").value_or(QStringLiteral("invalid"));
        result.hostToken = stringField(*answer, "host_token");
        result.answered = status.toInt() >= 200 && status.toInt() <= 299;
        done(result);
    });
}
