#include "OrbelHost/HostController.h"

#include "OrbelHost/HostIdentity.h"
#include "OrbelHost/HostL10n.h"
#include "OrbelHost/JsonMessage.h"
#include "OrbelHost/Log.h"

HostController::HostController(HostEnvironment environment, QObject* parent)
    : QObject(parent)
    , env_(std::move(environment))
{
    Q_ASSERT(env_.factory && env_.permissions && env_.keychain && env_.account && env_.notifier && env_.loginItem
             && env_.screen && env_.events && env_.cursor && env_.layouts && env_.settings && env_.pasteboard && env_.workspace && env_.power);
    QSettings& defaults = *env_.settings;

    // Published state first, then the components, then identity, then WebRTC objects.
    signalStatus_ = HL(QStringLiteral("啟動中…"));
    screenPermission_ = env_.permissions->screenCaptureAllowed();
    inputPermission_ = env_.permissions->inputAllowed();
    launchAtLogin_ = env_.loginItem->isEnabled();

    input_ = std::make_unique<InputInjector>(std::move(env_.events));
    cursor_ = std::make_unique<CursorMonitor>(std::move(env_.cursor));
    keyRepeat_ = std::make_unique<KeyRepeatGuard>(input_->poster(), defaults);
    inputSources_ = std::make_unique<InputSources>(*env_.layouts);
    pin_ = std::make_unique<AccessPIN>(env_.keychain);
    // From here on, only what is copied later reaches the phones.
    clipboardSync_ = std::make_unique<ClipboardSync>(*env_.pasteboard, env_.clipSyncMs);
    stayAwake_ = std::make_unique<StayAwake>(*env_.power, env_.activityMs);
    updates_ = std::make_unique<UpdateChecker>(env_.update, *env_.notifier, *env_.workspace, env_.packages.get());

    keepAwake_ = defaults.value(QStringLiteral("keepAwake"), false).toBool();
    iceServers_ = { rtc::IceServer { { QStringLiteral(VELQUIN_DEFAULT_STUN_URL) }, std::nullopt, std::nullopt } };

    signalURL_ = defaults.value(QStringLiteral("signalURL")).toString();
    if (signalURL_.isEmpty())
        signalURL_ = env_.defaultSignalURL;
    hostId_ = defaults.value(QStringLiteral("hostId")).toString();
    if (hostId_.isEmpty())
        hostId_ = HostIdentity::makeHostId(env_.computerName);
    hostKey_ = defaults.value(QStringLiteral("hostKey")).toString();
    if (hostKey_.isEmpty())
        hostKey_ = HostIdentity::makeKey();
    defaults.setValue(QStringLiteral("hostId"), hostId_);
    defaults.setValue(QStringLiteral("hostKey"), hostKey_);
    if (defaults.contains(QStringLiteral("accountHostId")))
        accountHostId_ = defaults.value(QStringLiteral("accountHostId")).toString();

    videoSource_ = env_.factory->createVideoSource(true);
    videoTrack_ = env_.factory->createVideoTrack(videoSource_, QStringLiteral("screen"));
    capturer_ = std::make_unique<ScreenCapturer>(videoSource_, std::move(env_.screen));

    QPointer<HostController> self(this);
    cursor_->onMessage = [self](const QJsonObject& message) {
        if (self)
            self->broadcast(message);
    };
    // A switch of input source, made from a phone or at the computer, goes to every phone.
    env_.layouts->setOnChanged([self] {
        if (self)
            self->broadcast(self->inputSources_->currentMessage());
    });

    clipboardSync_->peers = [self] {
        std::vector<std::shared_ptr<Peer>> authed;
        if (self)
            for (const auto& [viewer, peer] : self->peers_)
                if (peer->authed)
                    authed.push_back(peer);
        return authed;
    };
    clipboardSync_->send = [self](const QJsonObject& message, Peer& peer) {
        if (self)
            self->send(message, peer);
    };

    permissionTimer_.setInterval(env_.permissionPollMs);
    connect(&permissionTimer_, &QTimer::timeout, this, &HostController::checkPermissions);
}

HostController::~HostController()
{
    // Peers may outlive us in pending WebRTC callbacks; they must find nothing to call into.
    for (auto& [viewer, peer] : peers_)
        peer->close();
    // Nothing a phone pressed stays down after the host has gone.
    input_->releaseAll();
    if (signaling_)
        signaling_->stop();
}

void HostController::start()
{
    // Runs once; an unlinked host has no signaling client, so that alone cannot be the guard.
    if (started_)
        return;
    started_ = true;
    updates_->start();
    env_.notifier->requestAuthorization();
    loadSecrets();
    if (keepAwake_)
        holdAwake();
    // The first start of a new installation starts with the session from then on; a user who
    // switches that off later is not overridden.
    QSettings& defaults = *env_.settings;
    if (!defaults.value(QStringLiteral("didSetLoginItem"), false).toBool()) {
        defaults.setValue(QStringLiteral("didSetLoginItem"), true);
        setLaunchAtLogin(true);
    }
    permissionTimer_.start();
    clipboardSync_->start();
}

void HostController::loadSecrets()
{
    // The keychain may sit on an unlock prompt: read it off the main thread, once, and connect
    // when the PIN's presence and the host token are known. Until then nothing is served.
    QPointer<HostController> self(this);
    readPin([self] {
        self->env_.account->loadCredentials([self] {
            if (self)
                self->connectSignaling();
        });
    });
}

void HostController::readPin(std::function<void()> then)
{
    QPointer<HostController> self(this);
    pin_->load(this, [self, then = std::move(then)](AccessPIN::State state) {
        // Only a definite "no record" lets phones in without a PIN.
        self->publish(self->pinEnabled_, self->pin_->required(), &HostController::pinEnabledChanged);
        if (state == AccessPIN::State::Unreadable) {
            qCWarning(hostLog) << "the access PIN cannot be read; phones must send one until it can";
            QTimer::singleShot(self->env_.pinRetryMs, self, [self] {
                if (self)
                    self->readPin({});
            });
        }
        if (then)
            then();
    });
}

void HostController::checkPermissions()
{
    publish(screenPermission_, env_.permissions->screenCaptureAllowed(), &HostController::screenPermissionChanged);
    publish(inputPermission_, env_.permissions->inputAllowed(), &HostController::inputPermissionChanged);
}

void HostController::requestInputPermission()
{
    env_.permissions->requestInputAccess();
}

void HostController::setPaused(bool paused)
{
    if (paused_ == paused)
        return;
    paused_ = paused;
    Q_EMIT pausedChanged();
    if (paused)
        disconnectAll();
}

void HostController::setKeepAwake(bool on)
{
    env_.settings->setValue(QStringLiteral("keepAwake"), on);
    publish(keepAwake_, on, &HostController::keepAwakeChanged);
    if (on)
        holdAwake();
    else
        stayAwake_->stop();
}

void HostController::holdAwake()
{
    QPointer<HostController> self(this);
    stayAwake_->start([self](bool running) {
        // The switch shows what is true: a desktop that refused leaves it off. The saved
        // choice stays, so the next start tries again.
        if (self && !running)
            self->publish(self->keepAwake_, false, &HostController::keepAwakeChanged);
    });
}

void HostController::setLaunchAtLogin(bool on)
{
    if (!env_.loginItem->setEnabled(on))
        qCWarning(hostLog).noquote() << "Orbel: 開機啟動設定失敗 " + QString::fromUtf8(on ? "enable" : "disable");
    publish(launchAtLogin_, env_.loginItem->isEnabled(), &HostController::launchAtLoginChanged);
}

void HostController::disconnectAll()
{
    for (const auto& viewer : viewers())
        reject(viewer, QStringLiteral("電腦端中斷了連線"));
    closeAllPeers();
}

void HostController::send(const QJsonObject& message, Peer& peer)
{
    if (auto bytes = serializeJson(message))
        deliver(*bytes, message, peer);
}

void HostController::broadcast(const QJsonObject& message)
{
    auto bytes = serializeJson(message);
    if (!bytes)
        return;
    for (auto& [viewer, peer] : peers_)
        if (peer->authed)
            deliver(*bytes, message, *peer);
}

void HostController::deliver(const QByteArray& bytes, const QJsonObject& message, Peer& peer)
{
    if (!peer.channel || peer.channel->state() != rtc::DataChannelState::Open)
        return;
    // The transport drops an oversized message without a word; say so instead.
    const auto limit = peer.channel->maxMessageSize();
    if (std::size_t(bytes.size()) > limit) {
        qCWarning(hostLog).noquote() << "dropped control message" << message.value(QStringLiteral("t")).toString()
                                     << "of" << bytes.size() << "bytes for" << peer.viewer << "(limit" << limit << ")";
        return;
    }
    peer.channel->send(bytes, false);
}

void HostController::notifyViewer()
{
    env_.notifier->post(HL(QStringLiteral("Velquin 遠端桌面：有手機正在遠端操作這台電腦")),
                        HL(QStringLiteral("不是你本人的話，從選單列的「Velquin 遠端桌面」圖示按「中斷所有連線」。")));
}

std::shared_ptr<Peer> HostController::peer(const QString& viewer) const
{
    auto it = peers_.find(viewer);
    return it == peers_.end() ? nullptr : it->second;
}

QStringList HostController::viewers() const
{
    QStringList list;
    for (const auto& [viewer, peer] : peers_)
        list << viewer;
    return list;
}

void HostController::updateViewerCount()
{
    publish(viewerCount_, int(peers_.size()), &HostController::viewerCountChanged);
}
