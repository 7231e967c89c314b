#include "support/LoopbackSignalServer.h"

#include <QJsonDocument>

LoopbackSignalServer::LoopbackSignalServer()
    : server_(QStringLiteral("loopback"), QWebSocketServer::NonSecureMode)
{
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QWebSocketServer::newConnection, this, [this] {
        while (auto* socket = server_.nextPendingConnection()) {
            socket->setParent(this);
            ++connections;
            requestUrls << socket->requestUrl();
            if (socket_)
                socket_->abort();
            socket_ = socket;
            connect(socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
                received << QJsonDocument::fromJson(text.toUtf8()).object();
            });
            if (registerOnConnect)
                sendJson({ { "type", "registered" } });
        }
    });
}

QUrl LoopbackSignalServer::url() const
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(server_.serverPort()));
}

void LoopbackSignalServer::sendJson(const QJsonObject& message)
{
    sendText(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void LoopbackSignalServer::sendText(const QString& text)
{
    if (socket_)
        socket_->sendTextMessage(text);
}

void LoopbackSignalServer::sendBinary(const QByteArray& bytes)
{
    if (socket_)
        socket_->sendBinaryMessage(bytes);
}

void LoopbackSignalServer::closeWith(int code)
{
    if (socket_)
        socket_->close(QWebSocketProtocol::CloseCode(code));
}

QList<QJsonObject> LoopbackSignalServer::receivedOfType(const QString& type) const
{
    QList<QJsonObject> out;
    for (const auto& m : received)
        if (m.value("type").toString() == type)
            out << m;
    return out;
}
