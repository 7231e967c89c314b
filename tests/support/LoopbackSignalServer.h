#pragma once
// An in-process signaling server on 127.0.0.1 for fast tests: records what the host sends and
// lets the test send frames or close the connection with any code.

#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

class LoopbackSignalServer : public QObject {
    Q_OBJECT
public:
    LoopbackSignalServer();
    QUrl url() const;

    bool registerOnConnect = true;
    QList<QJsonObject> received;
    QList<QUrl> requestUrls;
    int connections = 0;

    bool connected() const { return socket_ && socket_->state() == QAbstractSocket::ConnectedState; }
    void sendJson(const QJsonObject& message);
    void sendText(const QString& text);
    void sendBinary(const QByteArray& bytes);
    void closeWith(int code);
    QList<QJsonObject> receivedOfType(const QString& type) const;

private:
    QWebSocketServer server_;
    QPointer<QWebSocket> socket_;
};
