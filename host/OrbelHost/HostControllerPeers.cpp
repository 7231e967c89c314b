// HostController: opening, running and closing the phones' peer sessions.

#include "OrbelHost/HostController.h"

#include "OrbelHost/Log.h"
#include "Support/ThreadHop.h"

namespace {
QJsonObject candidateMessage(const QString& viewer, const rtc::IceCandidate& candidate)
{
    return { { QStringLiteral("type"), QStringLiteral("candidate") },
             { QStringLiteral("to"), viewer },
             { QStringLiteral("candidate"),
               QJsonObject { { QStringLiteral("candidate"), candidate.candidate },
                             { QStringLiteral("sdpMid"), candidate.sdpMid.value_or(QString()) },
                             { QStringLiteral("sdpMLineIndex"), candidate.sdpMLineIndex } } } };
}
} // namespace

bool HostController::isCurrent(const Peer& peer) const
{
    auto it = peers_.find(peer.viewer);
    return !peer.closed && it != peers_.end() && it->second.get() == &peer;
}

void HostController::openPeer(const QString& viewer)
{
    closePeer(viewer);

    rtc::Configuration configuration;
    configuration.iceServers = iceServers_;
    configuration.sdpSemantics = rtc::SdpSemantics::UnifiedPlan;
    configuration.gatheringPolicy = rtc::GatheringPolicy::Continually;

    auto peer = std::make_shared<Peer>(viewer, *input_, makeFileTransfer());
    // Callbacks go in before the connection exists, so no event can find them unset.
    wirePeer(peer);
    peer->pc = env_.factory->createPeerConnection(configuration, peer);
    if (!peer->pc) {
        qCWarning(hostLog).noquote() << "no peer connection for" << viewer;
        return;
    }
    peer->authed = !pin_->required();
    configureSender(*peer);

    const rtc::DataChannelInit ordered { true };
    peer->channel = peer->pc->createDataChannel(QStringLiteral("input"), ordered);
    if (peer->channel)
        peer->channel->setObserver(peer);
    peer->fileChannel = peer->pc->createDataChannel(QStringLiteral("file"), ordered);
    if (peer->fileChannel)
        peer->fileChannel->setObserver(peer);

    peers_[viewer] = peer;
    updateViewerCount();
    capturer_->start();
    cursor_->start();
    keyRepeat_->hold();
    makeOffer(peer);
    capturer_->repeatLastFrame();

    // A phone that never completes its connection must not keep capture running for nothing.
    closeUnlessInTime(peer, env_.connectTimeoutMs, [](const Peer& p) { return bool(p.everConnected); }, "no connection in time");
}

void HostController::closeUnlessInTime(const std::shared_ptr<Peer>& peer, int ms, std::function<bool(const Peer&)> done,
                                        const char* why)
{
    QPointer<HostController> self(this);
    std::weak_ptr<Peer> weak = peer;
    QTimer::singleShot(ms, this, [self, weak, done = std::move(done), why] {
        auto peer = weak.lock();
        if (self && peer && self->isCurrent(*peer) && !done(*peer)) {
            qCInfo(hostLog).noquote() << "closing" << peer->viewer << ":" << why;
            self->closePeer(peer->viewer);
        }
    });
}

void HostController::closeOnFailure(QPointer<HostController> self, std::weak_ptr<Peer> weak, const QString& what)
{
    postTo(self, [self, weak, what] {
        auto peer = weak.lock();
        if (!self || !peer || !self->isCurrent(*peer))
            return;
        qCWarning(hostLog).noquote() << what << "for" << peer->viewer << "failed; closing its session";
        self->closePeer(peer->viewer);
    });
}

void HostController::wirePeer(const std::shared_ptr<Peer>& peer)
{
    QPointer<HostController> self(this);
    std::weak_ptr<Peer> weak = peer;
    // A replaced or closed peer must not speak for its successor under the same viewer id.
    peer->onCandidate = [self, weak](const rtc::IceCandidate& candidate) {
        postTo(self, [self, weak, candidate] {
            auto peer = weak.lock();
            if (self && peer && self->isCurrent(*peer))
                self->sendSignal(candidateMessage(peer->viewer, candidate));
        });
    };
    peer->onClosed = [self, weak] {
        postTo(self, [self, weak] {
            // Only the very peer that closed leaves: a late event of a replaced one changes nothing.
            auto peer = weak.lock();
            if (self && peer && self->isCurrent(*peer))
                self->closePeer(peer->viewer);
        });
    };
    // A phone that stalls must not leave a key or button down until it is closed.
    peer->onDisconnected = [self, weak] {
        postTo(self, [self, weak] {
            auto peer = weak.lock();
            if (self && peer && self->isCurrent(*peer))
                self->input_->releaseHeldBy(peer->viewer);
        });
    };
    peer->onCommand = [self, weak](const QJsonObject& message) {
        postTo(self, [self, weak, message] {
            auto peer = weak.lock();
            if (self && peer)
                self->handleCommand(message, peer);
        });
    };
    peer->onOpen = [self, weak] {
        postTo(self, [self, weak] {
            if (auto peer = weak.lock(); self && peer)
                self->handleChannelOpen(peer);
        });
    };
    peer->onAuth = [self, weak](const QString& pin) {
        postTo(self, [self, weak, pin] {
            if (auto peer = weak.lock(); self && peer)
                self->handleAuth(peer, pin);
        });
    };
}

void HostController::configureSender(Peer& peer)
{
    peer.sender = peer.pc->addTrack(videoTrack_, { QStringLiteral("desk") });
    if (!peer.sender) {
        qCWarning(hostLog).noquote() << "no video sender for" << peer.viewer;
        return;
    }
    applyQuality(false, *peer.sender);
    if (!peer.authed)
        setVideoActive(false, *peer.sender);
}

void HostController::makeOffer(const std::shared_ptr<Peer>& peer)
{
    QPointer<HostController> self(this);
    std::weak_ptr<Peer> weak = peer;
    // A peer without an offer would hold its slot and the capture for nothing.
    auto fail = [self, weak](const QString& error) { closeOnFailure(self, weak, QStringLiteral("the offer (") + error + QChar(')')); };
    peer->pc->createOffer([self, weak, fail](std::optional<rtc::SessionDescription> offer, const QString& error) {
        auto peer = weak.lock();
        if (!peer || peer->closed)
            return;
        if (!offer) {
            fail(error);
            return;
        }
        peer->pc->setLocalDescription(*offer, [self, weak, fail, sdp = offer->sdp](bool ok, const QString& error) {
            if (!ok) {
                fail(error);
                return;
            }
            postTo(self, [self, weak, sdp] {
                auto peer = weak.lock();
                if (self && peer && self->isCurrent(*peer))
                    self->sendSignal({ { QStringLiteral("type"), QStringLiteral("offer") },
                                       { QStringLiteral("to"), peer->viewer },
                                       { QStringLiteral("sdp"), sdp } });
            });
        });
    });
}

void HostController::handleChannelOpen(const std::shared_ptr<Peer>& peer)
{
    if (!isCurrent(*peer))
        return;
    if (peer->authed) {
        sendInitialState(peer);
        return;
    }
    send({ { QStringLiteral("t"), QStringLiteral("auth-required") },
           { QStringLiteral("min"), 4 },
           { QStringLiteral("max"), 8 } },
         *peer);
    // A phone that never sends its PIN must not hold a session slot for ever.
    closeUnlessInTime(peer, env_.authTimeoutMs, [](const Peer& p) { return bool(p.authed); }, "no PIN in time");
}

void HostController::removePeer(const QString& viewer)
{
    auto it = peers_.find(viewer);
    if (it == peers_.end())
        return;
    auto peer = it->second;
    peers_.erase(it);
    peer->close();
    input_->releaseHeldBy(viewer);
    updateViewerCount();
}

void HostController::closePeer(const QString& viewer)
{
    if (!peers_.count(viewer))
        return;
    removePeer(viewer);
    if (peers_.empty())
        peersEmptied();
}

void HostController::closeAllPeers()
{
    if (peers_.empty())
        return;
    for (const auto& viewer : viewers())
        removePeer(viewer);
    peersEmptied();
}

void HostController::peersEmptied()
{
    capturer_->stop();
    cursor_->stop();
    input_->releaseAll();
    keyRepeat_->release();
}

void HostController::setVideoActive(bool active, rtc::RtpSender& sender)
{
    auto parameters = sender.parameters();
    for (auto& encoding : parameters.encodings)
        encoding.active = active;
    sender.setParameters(parameters);
}

void HostController::applyQuality(bool low, rtc::RtpSender& sender)
{
    auto parameters = sender.parameters();
    parameters.degradationPreference = rtc::DegradationPreference::MaintainResolution;
    for (auto& encoding : parameters.encodings) {
        encoding.maxBitrateBps = low ? kLowBitrate : kNormalBitrate;
        encoding.maxFramerate = low ? kLowFramerate : kNormalFramerate;
        encoding.scaleResolutionDownBy = low ? kLowScale : kNormalScale;
    }
    sender.setParameters(parameters);
}
