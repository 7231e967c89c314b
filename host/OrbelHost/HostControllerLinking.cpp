// HostController: linking this computer to the owner's account by QR code, and undoing it.
//
// One linking attempt runs at a time. Every answer carries the attempt it belongs to and is
// dropped once another attempt (or a cancel, or an unlink) has replaced it, so a stale answer
// never writes its outcome over a newer one.

#include "OrbelHost/HostController.h"

#include "OrbelHost/HostL10n.h"
#include "OrbelHost/LinkQRCode.h"
#include "OrbelHost/Log.h"

void HostController::setAccountHostId(const QString& id)
{
    if (accountHostId_ == id && accountHostId_.isNull() == id.isNull())
        return;
    accountHostId_ = id;
    if (id.isNull())
        env_.settings->remove(QStringLiteral("accountHostId"));
    else
        env_.settings->setValue(QStringLiteral("accountHostId"), id);
    Q_EMIT accountHostIdChanged();
}

QImage HostController::linkQRCode(int moduleSize) const
{
    if (linkToken_.isEmpty())
        return {};
    return makeQRCode(QStringLiteral("nimbralink:") + linkToken_, moduleSize);
}

void HostController::endLinkAttempt()
{
    // Any answer still on its way for the old attempt is dropped (linkCurrent).
    ++linkAttempt_;
    linkPoll_.stop();
    setLinkToken(QString());
}

void HostController::cancelLinking()
{
    endLinkAttempt();
    setLinkMessage(QString());
}

void HostController::startLinking()
{
    // A running attempt ends silently: its QR code goes, no message.
    endLinkAttempt();
    const quint64 attempt = linkAttempt_;
    setLinkMessage(HL(QStringLiteral("產生 QR Code…")));
    QPointer<HostController> self(this);
    env_.account->createLinkRequest([self, attempt](NimbraServer::Result<QString> result) {
        if (!self || !self->linkCurrent(attempt))
            return;
        if (auto* failure = std::get_if<NimbraServer::Failure>(&result)) {
            self->linkFailed(*failure);
            return;
        }
        const QString token = std::get<QString>(result);
        self->setLinkToken(token);
        self->setLinkMessage(HL(QStringLiteral("用手機的 Velquin 掃這個 QR Code")));
        self->pollLink(attempt, token, 1);
    });
}

void HostController::pollLink(quint64 attempt, const QString& token, int poll)
{
    if (poll > env_.linkMaxPolls) {
        setLinkToken(QString());
        setLinkMessage(HL(QStringLiteral("等太久了，請再試一次")));
        return;
    }
    linkPoll_.disconnect();
    linkPoll_.setSingleShot(true);
    linkPoll_.setInterval(env_.linkPollMs);
    QPointer<HostController> self(this);
    connect(&linkPoll_, &QTimer::timeout, this, [self, attempt, token, poll] {
        if (!self || !self->linkCurrent(attempt))
            return;
        self->env_.account->linkStatus(token, [self, attempt, token, poll](NimbraServer::LinkStatus status) {
            if (!self || !self->linkCurrent(attempt))
                return;
            // A lost or failed poll is no verdict: ask again, within the same number of polls.
            if (status.answered && status.status == QStringLiteral("approved")) {
                self->linkApproved(attempt, status.hostToken);
            } else if (status.answered && (status.status == QStringLiteral("expired") || status.status == QStringLiteral("invalid"))) {
                self->setLinkToken(QString());
                self->setLinkMessage(HL(QStringLiteral("QR Code 過期了，請再試一次")));
            } else {
                self->pollLink(attempt, token, poll + 1);
            }
        });
    });
    linkPoll_.start();
}

void HostController::linkApproved(quint64 attempt, const std::optional<QString>& hostToken)
{
    // From here on this attempt registers once; nothing else polls.
    linkPoll_.stop();
    setLinkToken(QString());
    if (!hostToken || hostToken->isEmpty()) {
        setLinkMessage(HL(QStringLiteral("核准了，但沒有拿到電腦鑰匙，請再試一次")));
        return;
    }
    // A token the keychain did not keep would leave a host that believes it is linked.
    QPointer<HostController> self(this);
    env_.account->storeHostToken(*hostToken, [self, attempt](bool kept) {
        if (!self || !self->linkCurrent(attempt))
            return;
        if (!kept) {
            qCWarning(hostLog) << "the keychain did not keep the host token";
            self->setLinkMessage(HLFormat(QStringLiteral("綁定失敗：%@"), { QStringLiteral("keychain") }));
            return;
        }
        self->registerLinkedHost(attempt);
    });
}

void HostController::registerLinkedHost(quint64 attempt)
{
    setLinkMessage(HL(QStringLiteral("已核准，登記這台電腦…")));
    const QString name = env_.computerName.isEmpty() ? QStringLiteral("Linux") : env_.computerName;
    QPointer<HostController> self(this);
    env_.account->registerHost(name, [self, attempt](NimbraServer::Result<QString> result) {
        if (!self || !self->linkCurrent(attempt))
            return;
        if (auto* failure = std::get_if<NimbraServer::Failure>(&result)) {
            self->linkFailed(*failure);
            return;
        }
        self->setAccountHostId(std::get<QString>(result));
        self->setLinkMessage(QString());
        self->connectSignaling();
    });
}

void HostController::linkFailed(const NimbraServer::Failure& failure)
{
    setLinkToken(QString());
    if (failure.kind == NimbraServer::Failure::Kind::NotDeployed) {
        setAccountServerReady(false);
        setLinkMessage(HL(QStringLiteral("伺服器還沒開放帳號綁定，暫時請用配對密碼")));
        return;
    }
    setLinkMessage(HLFormat(QStringLiteral("綁定失敗：%@"), { failure.describe() }));
}

void HostController::unlink()
{
    endLinkAttempt();
    env_.account->removeHostToken();
    setAccountHostId(QString());
    // An unlinked computer must not stay under the control of the phones it had.
    closeAllPeers();
    connectSignaling();
}
