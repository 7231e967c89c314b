#include "support/DevServer.h"

#include "support/Wait.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTimer>

DevServer::DevServer()
{
    process_.setProgram(QStringLiteral("node"));
    process_.setArguments({ QStringLiteral(VELQUIN_TOOLS_DIR "/devserver/server.js"), QStringLiteral("--port"), QStringLiteral("0") });
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.setReadChannel(QProcess::StandardOutput);
}

DevServer::~DevServer()
{
    stop();
}

bool DevServer::start(const QStringList& extra)
{
    process_.setArguments(process_.arguments() + extra);
    process_.start();
    if (!process_.waitForStarted(5000))
        return false;
    static const QRegularExpression ready(QStringLiteral("devserver listening on http://127\\.0\\.0\\.1:(\\d+)"));
    QByteArray output;
    const bool ok = waitFor([&] {
        output += process_.readAllStandardOutput();
        auto match = ready.match(QString::fromUtf8(output));
        if (match.hasMatch())
            port_ = quint16(match.captured(1).toUInt());
        return port_ != 0 || process_.state() == QProcess::NotRunning;
    }, 10000);
    return ok && port_ != 0;
}

void DevServer::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate(); // by our own child's pid
    if (!process_.waitForFinished(3000)) {
        process_.kill();
        process_.waitForFinished(2000);
    }
}

QUrl DevServer::wsUrl() const
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port_));
}

QJsonObject DevServer::request(const QString& method, const QString& route, const QJsonObject& body)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/control/%2").arg(port_).arg(route)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply* reply = method == QStringLiteral("GET")
        ? manager.get(request)
        : manager.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    const auto object = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return object;
}

QJsonObject DevServer::get(const QString& route)
{
    return request(QStringLiteral("GET"), route, {});
}

QJsonObject DevServer::post(const QString& route, const QJsonObject& body)
{
    return request(QStringLiteral("POST"), route, body);
}

QJsonArray DevServer::messagesTo(const QString& viewer)
{
    return get(QStringLiteral("messages?viewer=") + QString::fromUtf8(QUrl::toPercentEncoding(viewer))).value("messages").toArray();
}

QJsonArray DevServer::hostMessages()
{
    return get(QStringLiteral("messages")).value("messages").toArray();
}

QJsonArray DevServer::hosts()
{
    return get(QStringLiteral("state")).value("hosts").toArray();
}

QString DevServer::issueTicket(const QString& hostId)
{
    return post(QStringLiteral("ticket"), { { "host", hostId } }).value("ticket").toString();
}
