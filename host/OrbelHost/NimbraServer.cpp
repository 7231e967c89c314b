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

NimbraServer::NimbraServer(Config config, std::shared_ptr<Keychain> keychain, QObject* parent)
    : QObject(parent)
    , keychain_(std::move(keychain))
    , config_(std::move(config))
    , network_(new QNetworkAccessManager(this))
{
    // Certificate errors stay errors: nothing here ignores them.
    network_->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

NimbraServer::NimbraServer(std::shared_ptr<Keychain> keychain, QObject* parent)
    : QObject(parent)
    , keychain_(std::move(keychain))
{
}

NimbraServer::~NimbraServer() = default;

namespace {
struct Credentials {
    QString deviceID;
    std::optional<QString> hostToken;
};
} // namespace

void NimbraServer::loadCredentials(std::function<void()> done)
{
    if (done)
        waiting_.push_back(std::move(done));
    if (loaded_) {
        auto ready = std::move(waiting_);
        waiting_.clear();
        for (auto& call : ready)
            call();
        return;
    }
    if (loading_)
        return;
    loading_ = true;
    const quint64 generation = tokenGeneration_;
    keychain_.run<Credentials>(
        [](Keychain& keychain) {
            Credentials credentials;
            // An unreadable id is replaced by a new one, as on a first launch.
            auto stored = keychain.value(kDeviceService, kDeviceAccount);
            if (!stored || stored->isEmpty()) {
                stored = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
                keychain.write(kDeviceService, kDeviceAccount, *stored);
            }
            credentials.deviceID = *stored;
            credentials.hostToken = keychain.value(kTokenService, kTokenAccount);
            return credentials;
        },
        this,
        [this, generation](Credentials credentials) {
            deviceID_ = credentials.deviceID;
            // A token stored or removed while we read is newer than what we read.
            if (generation == tokenGeneration_)
                hostToken_ = credentials.hostToken;
            loaded_ = true;
            loading_ = false;
            loadCredentials();
        });
}

void NimbraServer::storeHostToken(const QString& token, std::function<void(bool kept)> done)
{
    const quint64 generation = ++tokenGeneration_;
    keychain_.run<bool>(
        [token](Keychain& keychain) {
            keychain.write(kTokenService, kTokenAccount, token);
            return keychain.value(kTokenService, kTokenAccount) == token;
        },
        this,
        [this, generation, token, done](bool kept) {
            if (generation == tokenGeneration_)
                hostToken_ = kept ? std::optional<QString>(token) : std::nullopt;
            if (done)
                done(kept && generation == tokenGeneration_);
        });
}

void NimbraServer::removeHostToken()
{
    ++tokenGeneration_;
    hostToken_.reset();
    keychain_.remove(kTokenService, kTokenAccount, this);
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
    if (!loaded_)
        return loadCredentials([this, done] { hostTicket(done); });
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
    if (!loaded_)
        return loadCredentials([this, name, done] { registerHost(name, done); });
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
    if (!loaded_)
        return loadCredentials([this, done] { createLinkRequest(done); });
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
