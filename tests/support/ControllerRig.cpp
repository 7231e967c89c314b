#include "support/ControllerRig.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

ControllerRig::ControllerRig()
{
    settings = std::make_unique<QSettings>(dir.filePath(QStringLiteral("defaults.ini")), QSettings::IniFormat);
    auto permissionsOwned = std::make_unique<FakePermissionProbe>();
    auto keychainOwned = std::make_shared<FakeKeychain>();
    auto notifierOwned = std::make_unique<FakeNotifier>();
    auto loginOwned = std::make_unique<FakeLoginItem>();
    auto eventsOwned = std::make_unique<FakeEventPoster>();
    permissions = permissionsOwned.get();
    keychain = keychainOwned.get();
    notifier = notifierOwned.get();
    loginItem = loginOwned.get();
    events = eventsOwned.get();
    env.factory = factory;
    env.permissions = std::move(permissionsOwned);
    env.keychain = keychainOwned;
    env.notifier = std::move(notifierOwned);
    env.loginItem = std::move(loginOwned);
    auto screenOwned = std::make_unique<FakeScreenSource>();
    screen = screenOwned.get();
    env.screen = std::move(screenOwned);
    env.events = std::move(eventsOwned);
    auto layoutsOwned = std::make_unique<FakeKeyboardLayouts>();
    layouts = layoutsOwned.get();
    env.layouts = std::move(layoutsOwned);
    auto cursorOwned = std::make_unique<FakeCursorSource>();
    // Unknown until a test places it, so no pointer report mixes into other tests' messages.
    cursorOwned->pos.reset();
    cursor = cursorOwned.get();
    env.cursor = std::move(cursorOwned);
    auto powerOwned = std::make_unique<FakePowerAssertion>();
    power = powerOwned.get();
    env.power = std::move(powerOwned);
    env.activityMs = 20;
    auto pasteboardOwned = std::make_unique<FakePasteboard>();
    pasteboard = pasteboardOwned.get();
    env.pasteboard = std::move(pasteboardOwned);
    auto workspaceOwned = std::make_unique<FakeWorkspace>();
    workspace = workspaceOwned.get();
    env.workspace = std::move(workspaceOwned);
    env.screenshotSource = [this]() -> std::unique_ptr<ScreenSource> {
        if (!screenshotWorks)
            return nullptr;
        auto source = std::make_unique<FakeScreenSource>();
        source->resize(64, 48);
        return source;
    };
    env.files = { dir.filePath(QStringLiteral("received")), dir.filePath(QStringLiteral("tmp")) };
    QDir().mkpath(env.files.temporaryFolder);
    env.clipSyncMs = 20;
    env.settings = settings.get();
    env.signalingTiming = { 300, 200, 50, 1500 };
    env.permissionPollMs = 20;
    auto accountOwned = std::make_unique<FakeNimbraServer>(keychainOwned);
    account = accountOwned.get();
    env.account = std::move(accountOwned);
}

ControllerRig::~ControllerRig()
{
    controller.reset();
}

void ControllerRig::link(const QString& accountHostId)
{
    settings->setValue(QStringLiteral("accountHostId"), accountHostId);
    keychain->write(NimbraServer::kTokenService, NimbraServer::kTokenAccount, QStringLiteral("host-token-1"));
}

void ControllerRig::useDevServerTickets(quint16 port)
{
    settings->setValue(QStringLiteral("signalURL"), QStringLiteral("ws://127.0.0.1:%1/ws").arg(port));
    account->ticketSource = [this, port](std::function<void(NimbraServer::Result<NimbraServer::Ticket>)> ready) {
        if (onTicketRequest)
            onTicketRequest();
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/control/ticket").arg(port)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        const QString hostId = settings->value(QStringLiteral("hostId")).toString();
        auto* reply = network_.post(request, QJsonDocument(QJsonObject { { "host", hostId } }).toJson());
        QObject::connect(reply, &QNetworkReply::finished, reply, [reply, ready] {
            reply->deleteLater();
            const auto ticket = QJsonDocument::fromJson(reply->readAll()).object().value("ticket").toString();
            if (reply->error() != QNetworkReply::NoError || ticket.isEmpty())
                ready(NimbraServer::Failure { NimbraServer::Failure::Kind::Network, {} });
            else
                ready(NimbraServer::Ticket { ticket, std::nullopt });
        });
    };
}

void ControllerRig::useDevServerAccount(quint16 port)
{
    settings->setValue(QStringLiteral("signalURL"), QStringLiteral("ws://127.0.0.1:%1/ws").arg(port));
    NimbraServer::Config config { QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)), QString(), 5000, 5000 };
    env.account = std::make_unique<NimbraServer>(config, env.keychain);
    account = nullptr;
}

HostController& ControllerRig::make()
{
    controller = std::make_unique<HostController>(std::move(env));
    return *controller;
}

std::shared_ptr<rtc::FakePeerConnection> ControllerRig::connectionOf(const QString& viewer) const
{
    auto peer = controller->peer(viewer);
    return peer ? std::static_pointer_cast<rtc::FakePeerConnection>(peer->pc) : nullptr;
}

void ControllerRig::openChannel(const QString& viewer)
{
    if (auto pc = connectionOf(viewer))
        pc->channel(QStringLiteral("input"))->setState(rtc::DataChannelState::Open);
}
