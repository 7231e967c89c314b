// HostController: a phone's PIN, and what a phone gets once it may operate this computer.

#include "OrbelHost/HostController.h"

#include "OrbelHost/Log.h"

void HostController::handleAuth(const std::shared_ptr<Peer>& peer, const QString& pin)
{
    // The peer heard no other "auth" while this one waited; it may take the next one now.
    peer->authPending = false;
    if (peer->authed || !isCurrent(*peer))
        return;
    const AccessPIN::Result result = pin_->verify(pin);
    switch (result.kind) {
    case AccessPIN::Result::Kind::Failed:
        send({ { QStringLiteral("t"), QStringLiteral("auth-fail") }, { QStringLiteral("left"), result.left } }, *peer);
        return;
    case AccessPIN::Result::Kind::Locked: {
        send({ { QStringLiteral("t"), QStringLiteral("auth-locked") }, { QStringLiteral("seconds"), result.seconds } },
             *peer);
        QPointer<HostController> self(this);
        QTimer::singleShot(env_.lockoutCloseMs, this, [self, peer, seconds = result.seconds] {
            if (!self || !self->isCurrent(*peer))
                return;
            // Whole minutes, rounded up: with 30 s left the phone must not read "0 minutes".
            self->reject(peer->viewer, QStringLiteral("密碼錯太多次，%1 分鐘後再試").arg((seconds + 59) / 60));
            self->closePeer(peer->viewer);
        });
        return;
    }
    case AccessPIN::Result::Kind::Ok:
        peer->authed = true;
        if (peer->sender)
            setVideoActive(true, *peer->sender);
        send({ { QStringLiteral("t"), QStringLiteral("auth-ok") } }, *peer);
        sendInitialState(peer);
        // A still screen sends nothing new: the phone gets a picture at once.
        capturer_->repeatLastFrame();
        notifyViewer();
        return;
    }
}

void HostController::sendInitialState(const std::shared_ptr<Peer>& peer, int waitedMs)
{
    // One point is one pixel on X11.
    const QRect display = input_->poster().mainDisplayBounds();
    if (display.isEmpty()) {
        if (waitedMs < kDisplayWaitMs) {
            QPointer<HostController> self(this);
            std::weak_ptr<Peer> weak = peer;
            QTimer::singleShot(kDisplayPollMs, this, [self, weak, waitedMs] {
                auto peer = weak.lock();
                if (self && peer && self->isCurrent(*peer))
                    self->sendInitialState(peer, waitedMs + kDisplayPollMs);
            });
            return;
        }
        qCWarning(hostLog) << "the main display's size is still unknown after" << waitedMs << "ms";
    }
    send({ { QStringLiteral("t"), QStringLiteral("screen") },
           { QStringLiteral("w"), double(display.width()) },
           { QStringLiteral("h"), double(display.height()) } },
         *peer);
    send({ { QStringLiteral("t"), QStringLiteral("caps") }, { QStringLiteral("clipSync"), true } }, *peer);
    qCInfo(clipLog).noquote() << "剪貼簿：送 caps";
    send(inputSources_->currentMessage(), *peer);
    // The next poll tells every phone, this one included, where the pointer is and how it looks.
    cursor_->reset();
}

void HostController::setAccessPIN(const QString& pin, std::function<void(bool)> done)
{
    QPointer<HostController> self(this);
    pin_->set(pin, this, [self, done = std::move(done)](bool stored) {
        if (!self)
            return;
        self->publish(self->pinEnabled_, self->pin_->required(), &HostController::pinEnabledChanged);
        if (done)
            done(stored);
    });
}

void HostController::clearAccessPIN(std::function<void(bool)> done)
{
    QPointer<HostController> self(this);
    pin_->clear(this, [self, done = std::move(done)](bool cleared) {
        if (!self)
            return;
        self->publish(self->pinEnabled_, self->pin_->required(), &HostController::pinEnabledChanged);
        if (done)
            done(cleared);
    });
}
