#include "OrbelHost/SignalingClient.h"

#include "OrbelHost/HostL10n.h"
#include "OrbelHost/JsonMessage.h"
#include "Support/ThreadHop.h"

#include <QThread>
#include <QWebSocket>

SignalingClient::SignalingClient(MakeURL makeURL, Timing timing, QObject* parent)
    : QObject(parent)
    , makeURL_(std::move(makeURL))
    , timing_(timing)
    , retryDelayMs_(timing.firstRetryMs)
{
    heartbeat_.setInterval(timing_.heartbeatMs);
    connect(&heartbeat_, &QTimer::timeout, this, [this] {
        if (task_)
            ping(task_);
    });
    pongDeadline_.setSingleShot(true);
    pongDeadline_.setInterval(timing_.pongDeadlineMs);
    connect(&pongDeadline_, &QTimer::timeout, this, [this] {
        // No pong in time: the connection is dead even if TCP has not noticed yet.
        if (task_ && pongSerial_ < pingSerial_)
            handleClose(task_, kGoingAway);
    });
    handshakeDeadline_.setSingleShot(true);
    handshakeDeadline_.setInterval(timing_.heartbeatMs + timing_.pongDeadlineMs);
    connect(&handshakeDeadline_, &QTimer::timeout, this, [this] {
        if (task_ && task_->state() != QAbstractSocket::ConnectedState)
            handleClose(task_, kGoingAway);
    });
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, [this] {
        if (stopped_)
            return;
        report(false, HL(QStringLiteral("連線到伺服器…")));
        connectNow();
    });
}

SignalingClient::~SignalingClient()
{
    stopped_ = true;
    dropSocket();
}

QString SignalingClient::closeText(int code)
{
    switch (code) {
    case 4401: return HL(QStringLiteral("入場券無效，重新取得中…"));
    case 4403: return HL(QStringLiteral("主機代號被別台用掉了"));
    case 4409: return HL(QStringLiteral("同一台主機在別處重新連線"));
    case 4410: return HL(QStringLiteral("這台電腦已經從帳號移除"));
    case 4429: return HL(QStringLiteral("嘗試太多次，稍後重試"));
    default: return HL(QStringLiteral("伺服器斷線，重新連線中…"));
    }
}

void SignalingClient::start()
{
    stopped_ = false;
    report(false, HL(QStringLiteral("連線到伺服器…")));
    connectNow();
}

void SignalingClient::stop()
{
    stopped_ = true;
    ++attempt_;
    fetchingURL_ = false;
    heartbeat_.stop();
    pongDeadline_.stop();
    handshakeDeadline_.stop();
    retry_.stop();
    dropSocket();
}

bool SignalingClient::hasOpenSocket() const
{
    return task_ && task_->state() == QAbstractSocket::ConnectedState;
}

void SignalingClient::send(const QJsonObject& message)
{
    if (QThread::currentThread() != thread()) {
        postTo(this, [this, message] { send(message); });
        return;
    }
    if (stopped_ || !task_)
        return;
    auto text = serializeJson(message);
    if (!text)
        return;
    task_->sendTextMessage(QString::fromUtf8(*text));
}

void SignalingClient::report(bool online, const QString& text)
{
    if (stopped_ || !onState)
        return;
    onState(online, text);
}

void SignalingClient::connectNow()
{
    const quint64 attempt = ++attempt_;
    fetchingURL_ = true;
    QPointer<SignalingClient> self(this);
    makeURL_([self, attempt](std::optional<QUrl> url) {
        if (!self)
            return;
        // The URL may come from any thread; everything else happens on ours.
        postTo(self, [self, attempt, url] {
            if (!self || self->stopped_ || attempt != self->attempt_)
                return;
            self->fetchingURL_ = false;
            if (self->task_)
                return;
            if (!url || !url->isValid())
                self->scheduleRetry(HL(QStringLiteral("拿不到連線資格，稍後重試…")));
            else
                self->openSocket(*url);
        });
    });
}

void SignalingClient::openSocket(const QUrl& url)
{
    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    // Qt ends the connection beyond these; smaller frames over kMaxMessageBytes are dropped by us.
    socket->setMaxAllowedIncomingFrameSize(8 * kMaxMessageBytes);
    socket->setMaxAllowedIncomingMessageSize(8 * kMaxMessageBytes);
    task_ = socket;
    connect(socket, &QWebSocket::connected, this, [this, socket] {
        if (socket == task_) {
            handshakeDeadline_.stop();
            startHeartbeat(socket);
        }
    });
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this, socket](const QString& text) { handleFrame(socket, text.toUtf8()); });
    connect(socket, &QWebSocket::binaryMessageReceived, this,
            [this, socket](const QByteArray& bytes) { handleFrame(socket, bytes); });
    connect(socket, &QWebSocket::pong, this, [this, socket](quint64, const QByteArray& payload) {
        if (socket == task_)
            pongSerial_ = std::max(pongSerial_, payload.toULongLong());
    });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        if (socket == task_)
            handleClose(socket, socket->closeCode());
    });
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, [this, socket] {
        // A failed connection may report only an error; a closed one reports both, and the
        // close (with its code) must win, so look again once the socket has settled.
        QTimer::singleShot(0, this, [this, socket] {
            if (socket == task_ && socket->state() == QAbstractSocket::UnconnectedState)
                handleClose(socket, socket->closeCode());
        });
    });
    handshakeDeadline_.start();
    socket->open(url);
}

void SignalingClient::handleFrame(QWebSocket* socket, const QByteArray& bytes)
{
    if (socket != task_ || stopped_)
        return;
    retryDelayMs_ = timing_.firstRetryMs;
    if (bytes.size() > kMaxMessageBytes)
        return;
    auto object = parseJsonObject(bytes);
    if (!object)
        return;
    if (object->value(QStringLiteral("type")).toString() == QStringLiteral("registered"))
        report(true, HL(QStringLiteral("在線上，等待連線")));
    if (socket != task_ || stopped_)
        return; // the report's owner may have stopped us
    if (onMessage)
        onMessage(*object);
}

void SignalingClient::startHeartbeat(QWebSocket*)
{
    pingSerial_ = pongSerial_ = 0;
    pongDeadline_.stop();
    heartbeat_.start();
}

void SignalingClient::ping(QWebSocket* socket)
{
    // Each ping carries its serial so a late pong of an earlier ping does not count for this one.
    ++pingSerial_;
    socket->ping(QByteArray::number(pingSerial_));
    pongDeadline_.start();
}

void SignalingClient::handleClose(QWebSocket* socket, int code)
{
    if (socket != task_)
        return;
    const QString text = closeText(code);
    dropSocket();
    heartbeat_.stop();
    pongDeadline_.stop();
    handshakeDeadline_.stop();
    if (code == 4410) {
        report(false, text);
        if (!stopped_ && onRevoked)
            onRevoked();
    } else if (code == 4409) {
        report(false, text);
    } else {
        scheduleRetry(text);
    }
}

void SignalingClient::scheduleRetry(const QString& reason)
{
    report(false, reason);
    if (stopped_)
        return;
    const int delay = retryDelayMs_;
    retryDelayMs_ = std::min(retryDelayMs_ * 2, timing_.maxRetryMs);
    retry_.start(delay);
}

void SignalingClient::dropSocket()
{
    QWebSocket* socket = task_;
    task_ = nullptr;
    if (!socket)
        return;
    socket->disconnect(this);
    if (socket->state() == QAbstractSocket::ConnectedState) {
        // Let the close frame go out before the socket is deleted.
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        socket->close(QWebSocketProtocol::CloseCodeGoingAway);
        QTimer::singleShot(2000, socket, &QObject::deleteLater);
    } else {
        socket->abort();
        socket->deleteLater();
    }
}
