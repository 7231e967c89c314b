#pragma once
// An HTTP server on 127.0.0.1 for tests: answers GET requests from a table of path → (status,
// body), one request per connection.

#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>

class TinyHttpServer : public QTcpServer {
public:
    struct Answer {
        int status = 200;
        QByteArray body;
    };
    QHash<QString, Answer> answers;
    QStringList requested;

    TinyHttpServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path); }

private:
    void answer(QTcpSocket* socket)
    {
        QByteArray& request = buffers_[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(request.split(' ').value(1));
        buffers_.remove(socket);
        requested << path;
        const Answer found = answers.value(path, Answer { 404, "not found" });
        socket->write("HTTP/1.1 " + QByteArray::number(found.status) + " X\r\nContent-Length: "
                      + QByteArray::number(found.body.size()) + "\r\nConnection: close\r\n\r\n" + found.body);
        socket->disconnectFromHost();
    }
    QHash<QTcpSocket*, QByteArray> buffers_;
};
