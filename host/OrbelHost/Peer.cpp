#include "OrbelHost/Peer.h"

#include "OrbelHost/InputInjector.h"
#include "OrbelHost/JsonMessage.h"

#include "Support/ThreadHop.h"

Peer::Peer(QString viewerId, InputInjector& injector, std::unique_ptr<FileTransfer> fileTransfer)
    : viewer(std::move(viewerId))
    , input(injector)
    , files(std::move(fileTransfer))
{
    onInput = [this](const QJsonObject& message) { input.handle(message, viewer); };
}

const QSet<QString>& Peer::commands()
{
    static const QSet<QString> set {
        QStringLiteral("screenshot"), QStringLiteral("screenshot-ui"), QStringLiteral("clip-get"),
        QStringLiteral("clip-set"), QStringLiteral("quality"), QStringLiteral("ime-next"),
        QStringLiteral("ime-list"), QStringLiteral("ime-select"),
    };
    return set;
}

void Peer::close()
{
    closed = true;
    if (fileChannel)
        fileChannel->close();
    if (channel)
        channel->close();
    if (pc)
        pc->close();
    if (files)
        files->close();
}

void Peer::onIceCandidate(const rtc::IceCandidate& candidate)
{
    if (onCandidate)
        onCandidate(candidate);
}

void Peer::onConnectionStateChange(rtc::PeerConnectionState state)
{
    if (state == rtc::PeerConnectionState::Connected)
        everConnected = true;
    if (state == rtc::PeerConnectionState::Disconnected && onDisconnected)
        onDisconnected();
    if ((state == rtc::PeerConnectionState::Failed || state == rtc::PeerConnectionState::Closed) && onClosed)
        onClosed();
}

void Peer::onStateChange(rtc::DataChannel& dataChannel)
{
    if (channel.get() == &dataChannel && dataChannel.state() == rtc::DataChannelState::Open && onOpen)
        onOpen();
    // A file cut off by its channel closing would never be finished.
    const auto state = dataChannel.state();
    if (fileChannel.get() == &dataChannel && files
        && (state == rtc::DataChannelState::Closing || state == rtc::DataChannelState::Closed))
        files->cancelIncoming();
}

void Peer::onMessage(rtc::DataChannel& dataChannel, const QByteArray& data, bool binary)
{
    if (closed)
        return;
    if (!authed) {
        handleUnauthenticated(dataChannel, data);
        return;
    }
    if (fileChannel.get() == &dataChannel) {
        if (files)
            files->handle(data, binary);
        return;
    }
    auto message = parseJsonObject(data);
    if (!message)
        return;
    const auto type = message->value(QStringLiteral("t"));
    if (type.isString() && commands().contains(type.toString())) {
        if (onCommand)
            onCommand(*message);
        return;
    }
    std::weak_ptr<Peer> weak = shared_from_this();
    // The injector and the controller live on the main thread.
    postToMain([weak, message = *message] {
        if (auto self = weak.lock(); self && self->onInput)
            self->onInput(message);
    });
}

void Peer::handleUnauthenticated(rtc::DataChannel& dataChannel, const QByteArray& data)
{
    if (channel.get() != &dataChannel)
        return;
    auto message = parseJsonObject(data);
    if (!message)
        return;
    const auto type = message->value(QStringLiteral("t"));
    const auto pin = message->value(QStringLiteral("pin"));
    if (type.toString() == QStringLiteral("auth") && type.isString() && pin.isString() && onAuth
        && !authPending.exchange(true))
        onAuth(pin.toString());
}
