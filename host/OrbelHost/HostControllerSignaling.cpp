// HostController: the signaling connection and the messages that travel over it.

#include "OrbelHost/HostController.h"

#include "OrbelHost/HostL10n.h"
#include "OrbelHost/Log.h"

#include <QJsonArray>
#include <QUrlQuery>

#include <cmath>
#include <limits>

bool HostController::isLinked() const
{
    return !accountHostId_.isNull() && env_.account->hostToken().has_value();
}

void HostController::connectSignaling()
{
    if (signaling_) {
        signaling_->stop();
        signaling_->deleteLater();
        signaling_ = nullptr;
    }
    if (!isLinked()) {
        setSignalOnline(false);
        setSignalStatus(HL(QStringLiteral("尚未綁定：請在下方用手機的 Velquin 掃描 QR Code")));
        return;
    }
    QPointer<HostController> self(this);
    auto* client = new SignalingClient(
        [self](SignalingClient::URLReady ready) {
            if (!self) {
                ready(std::nullopt);
                return;
            }
            self->signalingURL(std::move(ready));
        },
        env_.signalingTiming, this);
    QPointer<SignalingClient> weakClient(client);
    // Reports of a client that has been replaced must not touch the new one's phones.
    client->onState = [this, weakClient](bool online, const QString& text) {
        if (signaling_ != weakClient)
            return;
        setSignalOnline(online);
        setSignalStatus(text);
        if (!online)
            closeAllPeers();
    };
    client->onMessage = [this, weakClient](const QJsonObject& message) {
        if (signaling_ == weakClient)
            handleSignal(message);
    };
    client->onRevoked = [this, weakClient] {
        if (signaling_ == weakClient)
            handleRevoked();
    };
    signaling_ = client;
    client->start();
}

void HostController::reconnect()
{
    connectSignaling();
}

void HostController::setSignalURL(const QString& url)
{
    const QString trimmed = url.trimmed();
    // An emptied field goes back to the built-in server.
    env_.settings->setValue(QStringLiteral("signalURL"), trimmed);
    publish(signalURL_, trimmed.isEmpty() ? env_.defaultSignalURL : trimmed, &HostController::signalURLChanged);
}

void HostController::signalingURL(SignalingClient::URLReady ready)
{
    QUrl base(signalURL_, QUrl::StrictMode);
    if (!base.isValid() || base.scheme().isEmpty() || base.host().isEmpty()) {
        ready(std::nullopt);
        return;
    }
    if (!isLinked()) {
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("role"), QStringLiteral("host"));
        query.addQueryItem(QStringLiteral("id"), hostId_);
        query.addQueryItem(QStringLiteral("key"), hostKey_);
        base.setQuery(query);
        ready(base);
        return;
    }
    QPointer<HostController> self(this);
    env_.account->hostTicket([self, base, ready](NimbraServer::Result<NimbraServer::Ticket> result) {
        if (!self) {
            ready(std::nullopt);
            return;
        }
        if (auto* failure = std::get_if<NimbraServer::Failure>(&result)) {
            if (failure->kind == NimbraServer::Failure::Kind::Unauthorized)
                self->handleRevoked();
            else if (failure->kind == NimbraServer::Failure::Kind::NotDeployed)
                self->setAccountServerReady(false);
            ready(std::nullopt);
            return;
        }
        const auto& ticket = std::get<NimbraServer::Ticket>(result);
        QUrl url = base;
        if (ticket.signalURL) {
            // The server may name another signaling address for this connection only.
            const QUrl other(*ticket.signalURL, QUrl::StrictMode);
            if (other.isValid() && !other.scheme().isEmpty() && !other.host().isEmpty())
                url = other;
        }
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("role"), QStringLiteral("host"));
        query.addQueryItem(QStringLiteral("ticket"), QString::fromUtf8(QUrl::toPercentEncoding(ticket.ticket)));
        url.setQuery(query);
        self->setAccountServerReady(true);
        ready(url);
    });
}

void HostController::handleRevoked()
{
    env_.account->removeHostToken();
    setAccountHostId(QString());
    setLinkMessage(HL(QStringLiteral("這台電腦已經從帳號移除，要用的話請重新綁定")));
    closeAllPeers();
    connectSignaling();
}

void HostController::sendSignal(const QJsonObject& message)
{
    if (signaling_ && signaling_->hasOpenSocket())
        signaling_->send(message);
}

void HostController::reject(const QString& viewer, const QString& reason)
{
    sendSignal({ { QStringLiteral("type"), QStringLiteral("rejected") },
                 { QStringLiteral("to"), viewer },
                 { QStringLiteral("reason"), reason } });
}

void HostController::handleSignal(const QJsonObject& message)
{
    const auto typeValue = message.value(QStringLiteral("type"));
    if (!typeValue.isString())
        return;
    const QString type = typeValue.toString();
    const auto fromValue = message.value(QStringLiteral("from"));
    const QString from = fromValue.isString() ? fromValue.toString() : QString();
    const bool hasFrom = fromValue.isString();

    if (type == QStringLiteral("registered")) {
        handleRegistered(message);
    } else if (!hasFrom) {
        return;
    } else if (type == QStringLiteral("viewer-join")) {
        handleViewerJoin(from);
    } else if (type == QStringLiteral("viewer-leave")) {
        closePeer(from);
    } else if (type == QStringLiteral("answer")) {
        handleAnswer(from, message);
    } else if (type == QStringLiteral("candidate")) {
        handleCandidate(from, message);
    }
}

void HostController::handleRegistered(const QJsonObject& message)
{
    setSignalStatus(HL(QStringLiteral("在線上，等待連線")));
    const auto list = message.value(QStringLiteral("iceServers"));
    if (!list.isArray())
        return;
    std::vector<rtc::IceServer> servers;
    for (const auto& entryValue : list.toArray()) {
        if (!entryValue.isObject())
            continue;
        const auto entry = entryValue.toObject();
        rtc::IceServer server;
        const auto urls = entry.value(QStringLiteral("urls"));
        if (urls.isArray()) {
            for (const auto& url : urls.toArray())
                if (url.isString())
                    server.urls << url.toString();
            // An array with anything but strings is not a list of URLs.
            if (server.urls.size() != urls.toArray().size())
                server.urls.clear();
        } else if (urls.isString()) {
            server.urls << urls.toString();
        }
        if (server.urls.isEmpty())
            continue;
        if (entry.value(QStringLiteral("username")).isString())
            server.username = entry.value(QStringLiteral("username")).toString();
        if (entry.value(QStringLiteral("credential")).isString())
            server.credential = entry.value(QStringLiteral("credential")).toString();
        servers.push_back(std::move(server));
    }
    iceServers_ = std::move(servers);
}

void HostController::handleViewerJoin(const QString& viewer)
{
    if (paused_) {
        reject(viewer, QStringLiteral("電腦端暫停了遠端"));
        return;
    }
    // Every session costs a media pipeline; a replacing join reuses its slot.
    if (!peers_.count(viewer) && int(peers_.size()) >= env_.maxPeers) {
        qCInfo(hostLog).noquote() << "refused" << viewer << ": already" << peers_.size() << "phones";
        reject(viewer, QStringLiteral("連線的手機太多了，請稍後再試"));
        return;
    }
    openPeer(viewer);
    if (!pin_->required() && peers_.count(viewer))
        notifyViewer();
}

void HostController::handleAnswer(const QString& viewer, const QJsonObject& message)
{
    const auto sdp = message.value(QStringLiteral("sdp"));
    auto peer = this->peer(viewer);
    if (!sdp.isString() || !peer || !peer->pc)
        return;
    // A relay may deliver an answer twice; the session already has one.
    if (peer->answered) {
        qCInfo(hostLog).noquote() << "ignored a second answer from" << viewer;
        return;
    }
    peer->answered = true;
    // A phone whose answer cannot be applied cannot connect: end its session, and only its.
    peer->pc->setRemoteDescription({ rtc::SessionDescription::Type::Answer, sdp.toString() },
                                   [self = QPointer<HostController>(this), weak = std::weak_ptr<Peer>(peer)](bool ok, const QString&) {
                                       if (!ok)
                                           closeOnFailure(self, weak, QStringLiteral("the answer"));
                                   });
}

void HostController::handleCandidate(const QString& viewer, const QJsonObject& message)
{
    const auto candidateValue = message.value(QStringLiteral("candidate"));
    if (!candidateValue.isObject())
        return;
    const auto object = candidateValue.toObject();
    const auto line = object.value(QStringLiteral("candidate"));
    if (!line.isString() || line.toString().isEmpty())
        return;
    rtc::IceCandidate candidate;
    candidate.candidate = line.toString();
    const auto index = object.value(QStringLiteral("sdpMLineIndex"));
    if (index.isDouble()) {
        const double value = index.toDouble();
        if (value == std::trunc(value)) {
            if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
                return;
            candidate.sdpMLineIndex = int(value);
        }
    }
    const auto mid = object.value(QStringLiteral("sdpMid"));
    if (mid.isString())
        candidate.sdpMid = mid.toString();
    auto peer = this->peer(viewer);
    if (!peer || !peer->pc)
        return;
    // One bad candidate does not end a session that may connect through the others.
    peer->pc->addIceCandidate(candidate, [viewer](bool ok, const QString& error) {
        if (!ok)
            qCInfo(hostLog).noquote() << "ignored a candidate from" << viewer << ":" << error;
    });
}
