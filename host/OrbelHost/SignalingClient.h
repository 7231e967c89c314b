#pragma once
// Keeps the host's one WebSocket to the signaling server alive: fetches a fresh URL before every
// attempt, pings every 20 s, reconnects with a doubling delay and turns close codes into status.
//
// Threading: the client lives on the main thread, and so does its QWebSocket; every field and
// every callback (onState, onMessage, onRevoked) is confined to that thread, so nothing needs a
// lock. send() may be called from any thread: it hops to the main thread.

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <optional>

class QWebSocket;

struct SignalingTiming {
    int heartbeatMs = 20000;
    int pongDeadlineMs = 10000;
    int firstRetryMs = 1000;
    int maxRetryMs = 30000;
};

class SignalingClient : public QObject {
    Q_OBJECT
public:
    using URLReady = std::function<void(std::optional<QUrl>)>;
    // Produces the URL for the next connection, possibly later; may answer on any thread.
    using MakeURL = std::function<void(URLReady)>;

    using Timing = SignalingTiming;

    // JSON frames above this are dropped unread; frames far above it end the connection.
    static constexpr qint64 kMaxMessageBytes = 1024 * 1024;
    static constexpr int kGoingAway = 1001;

    explicit SignalingClient(MakeURL makeURL, Timing timing = {}, QObject* parent = nullptr);
    ~SignalingClient() override;

    std::function<void(bool online, const QString& text)> onState;
    std::function<void(const QJsonObject& message)> onMessage;
    std::function<void()> onRevoked;

    void start();
    // Final: nothing is reported, sent or retried afterwards.
    void stop();
    void send(const QJsonObject& message);

    bool stopped() const { return stopped_; }
    bool hasOpenSocket() const;
    // Whether anything can still happen: a socket, a URL on its way or a retry scheduled.
    bool busy() const { return task_ || fetchingURL_ || retry_.isActive(); }
    int retryDelayMs() const { return retryDelayMs_; }

    // The status text for a close code (already localised).
    static QString closeText(int code);

private:
    void connectNow();
    void openSocket(const QUrl& url);
    void handleFrame(QWebSocket* socket, const QByteArray& bytes);
    void startHeartbeat(QWebSocket* socket);
    void ping(QWebSocket* socket);
    void handleClose(QWebSocket* socket, int code);
    void scheduleRetry(const QString& reason);
    void report(bool online, const QString& text);
    void dropSocket();

    MakeURL makeURL_;
    Timing timing_;
    QWebSocket* task_ = nullptr;
    bool stopped_ = false;
    int retryDelayMs_;
    quint64 attempt_ = 0;   // identifies the URL fetch whose answer may still open a socket
    bool fetchingURL_ = false;
    quint64 pingSerial_ = 0;
    quint64 pongSerial_ = 0;
    QTimer heartbeat_;
    QTimer pongDeadline_;
    // An attempt whose handshake has not finished by heartbeat + pong deadline is given up:
    // a server that accepts TCP and never answers the upgrade would otherwise hold it for ever.
    QTimer handshakeDeadline_;
    QTimer retry_;
};
