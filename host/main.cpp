// velquin-host: shares this desktop with the owner's phones.

#include "OrbelHost/HostController.h"
#include "OrbelHost/HostL10n.h"
#include "Platform/Fake/FakeCursorSource.h"
#include "Platform/Fake/FakeEventPoster.h"
#include "Platform/Fake/FakeKeychain.h"
#include "Platform/Fake/FakeLoginItem.h"
#include "Platform/Fake/FakeNotifier.h"
#include "Platform/Fake/FakeScreenSource.h"
#include "Platform/Linux/X11PermissionProbe.h"
#include "WebRTC/Fake/FakeWebRTC.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>

#include <cstdio>

namespace {
void say(const QString& line)
{
    std::fprintf(stderr, "velquin-host: %s\n", qPrintable(line));
}

// Development mode: VELQUIN_DEV_SERVER=http://127.0.0.1:PORT points the host at the local dev
// server, which also hands out signaling tickets, as a linked computer gets them.
void useDevServer(HostEnvironment& env, const QString& base, QNetworkAccessManager* network)
{
    QUrl url(base);
    QUrl ws = url;
    ws.setScheme(QStringLiteral("ws"));
    ws.setPath(QStringLiteral("/ws"));
    env.settings->setValue(QStringLiteral("signalURL"), ws.toString());
    env.settings->setValue(QStringLiteral("accountHostId"), QStringLiteral("dev-account"));
    env.keychain->write(HostController::kTokenService, HostController::kTokenAccount, QStringLiteral("dev-token"));
    QSettings* settings = env.settings;
    env.hostTicket = [url, network, settings](HostEnvironment::TicketReady ready) {
        QUrl ticketUrl = url;
        ticketUrl.setPath(QStringLiteral("/control/ticket"));
        QNetworkRequest request(ticketUrl);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        request.setTransferTimeout(10000);
        const QJsonObject body { { QStringLiteral("host"), settings->value(QStringLiteral("hostId")).toString() } };
        auto* reply = network->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
        QObject::connect(reply, &QNetworkReply::finished, reply, [reply, ready] {
            reply->deleteLater();
            const auto ticket = QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("ticket")).toString();
            if (reply->error() != QNetworkReply::NoError || ticket.isEmpty())
                ready(std::nullopt, HostEnvironment::TicketError::Other);
            else
                ready(HostEnvironment::Ticket { ticket, std::nullopt }, HostEnvironment::TicketError::None);
        });
    };
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Velquin"));
    QCoreApplication::setApplicationName(QStringLiteral("velquin-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELQUIN_VERSION));

    QSettings settings;
    QNetworkAccessManager network;
    HostEnvironment env;
    env.settings = &settings;
    // Media, input, cursor, keychain and notifications get their desktop backends as they land;
    // until then the in-memory ones stand in.
    env.factory = std::make_shared<rtc::FakePeerConnectionFactory>();
    env.permissions = std::make_unique<X11PermissionProbe>();
    env.keychain = std::make_unique<FakeKeychain>();
    env.notifier = std::make_unique<FakeNotifier>();
    env.loginItem = std::make_unique<FakeLoginItem>();
    env.screen = std::make_unique<FakeScreenSource>();
    env.events = std::make_unique<FakeEventPoster>();
    env.cursor = std::make_unique<FakeCursorSource>();
    const QString devServer = qEnvironmentVariable("VELQUIN_DEV_SERVER");
    if (!devServer.isEmpty())
        useDevServer(env, devServer, &network);

    HostController controller(std::move(env));
    QObject::connect(&controller, &HostController::signalStatusChanged, [&] { say(controller.signalStatus()); });
    QObject::connect(&controller, &HostController::viewerCountChanged, [&] {
        say(HLFormat(QStringLiteral("正在遠端：%ld 支手機"), { controller.viewerCount() }));
    });
    say(HL(QStringLiteral("Velquin 遠端桌面")) + QStringLiteral(" ") + QStringLiteral(VELQUIN_VERSION)
        + QStringLiteral(" — ") + controller.hostId());
    controller.start();
    return app.exec();
}
