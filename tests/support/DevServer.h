#pragma once
// The development signaling server (tools/devserver) as a child process, with its control API.

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QUrl>

class DevServer {
public:
    DevServer();
    ~DevServer();
    // `extra` goes to the server's command line (e.g. --updates DIR).
    bool start(const QStringList& extra = {});
    void stop();

    quint16 port() const { return port_; }
    QUrl wsUrl() const; // ws://127.0.0.1:PORT/ws
    QJsonObject get(const QString& route);
    QJsonObject post(const QString& route, const QJsonObject& body = {});

    // Convenience views of the control API.
    QJsonArray messagesTo(const QString& viewer);
    QJsonArray hostMessages(); // every host message with a "to"
    QJsonArray hosts();
    QString issueTicket(const QString& hostId);

private:
    QJsonObject request(const QString& method, const QString& route, const QJsonObject& body);
    QProcess process_;
    quint16 port_ = 0;
};
