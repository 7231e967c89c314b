#pragma once
// The host's client for the account server: signaling tickets, QR linking and registration.
// Plain JSON over HTTP(S); answers arrive on the calling (main) thread through callbacks.
// The methods are virtual so tests can stand in for the server.

#include "OrbelHost/AsyncKeychain.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>
#include <variant>

class QNetworkAccessManager;
class QNetworkReply;

class NimbraServer : public QObject {
    Q_OBJECT
public:
    struct Failure {
        enum class Kind { Server, NotDeployed, Unauthorized, Network };
        Kind kind = Kind::Network;
        QString message; // for Server
        // "server(\"…\")", "notDeployed", "unauthorized" or "network": what the user is shown.
        QString describe() const;
        bool operator==(const Failure&) const = default;
    };
    template <typename T>
    using Result = std::variant<T, Failure>;

    struct Ticket {
        QString ticket;
        std::optional<QString> signalURL;
    };
    struct LinkStatus {
        QString status = QStringLiteral("invalid");
        std::optional<QString> hostToken;
        // Whether a 2xx answer carried it; a lost or failed poll is not a verdict.
        bool answered = false;
    };

    struct Config {
        QUrl baseURL;             // scheme and host only
        QString appKey;
        int postTimeoutMs = 10000;
        int statusTimeoutMs = 8000;
    };

    static inline const QString kDeviceService = QStringLiteral("com.pelmar.orbel.host.device");
    static inline const QString kDeviceAccount = QStringLiteral("anonymous-id");
    static inline const QString kTokenService = QStringLiteral("com.pelmar.orbel.host.token");
    static inline const QString kTokenAccount = QStringLiteral("host-token");
    // Answers larger than this are not read.
    static constexpr qint64 kMaxBodyBytes = 1024 * 1024;

    NimbraServer(Config config, std::shared_ptr<Keychain> keychain, QObject* parent = nullptr);
    ~NimbraServer() override;

    // Reads the host token and the device id from the keychain once, off the main thread;
    // `done` runs on the main thread once both are known. Requests made before then wait.
    void loadCredentials(std::function<void()> done = {});

    virtual void hostTicket(std::function<void(Result<Ticket>)> done);
    virtual void registerHost(const QString& name, std::function<void(Result<QString>)> done);
    virtual void createLinkRequest(std::function<void(Result<QString>)> done);
    virtual void linkStatus(const QString& token, std::function<void(LinkStatus)> done);

    // Stable anonymous id of this installation, kept in the keychain; empty until loaded.
    QString deviceID() const { return deviceID_; }
    // The host token as loaded or stored in this run; never read from the keychain here.
    std::optional<QString> hostToken() const { return hostToken_; }
    // Stores the token and reads it back; it counts (and `done` says true) only if the
    // keychain kept it.
    void storeHostToken(const QString& token, std::function<void(bool kept)> done);
    // Forgets the token at once; the keychain item goes in the background.
    void removeHostToken();

    const Config& config() const { return config_; }

protected:
    NimbraServer(std::shared_ptr<Keychain> keychain, QObject* parent); // for stand-ins that make no requests
    AsyncKeychain keychain_;

private:
    using Answer = std::function<void(std::optional<QJsonObject>, Failure)>;
    void post(const QString& path, const QJsonObject& body, const std::optional<QString>& bearer, Answer done);
    QNetworkReply* track(QNetworkReply* reply);

    Config config_;
    QNetworkAccessManager* network_ = nullptr;
    bool loading_ = false;
    bool loaded_ = false;
    std::vector<std::function<void()>> waiting_;
    QString deviceID_;
    std::optional<QString> hostToken_;
    quint64 tokenGeneration_ = 0; // a store or removal overtakes any answer still on its way
};
