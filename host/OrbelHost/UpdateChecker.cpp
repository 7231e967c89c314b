#include "OrbelHost/UpdateChecker.h"

#include "OrbelHost/HostL10n.h"
#include "OrbelHost/Log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

UpdateChecker::UpdateChecker(Config config, Notifier& notifier, Workspace& workspace, QObject* parent)
    : QObject(parent)
    , config_(std::move(config))
    , notifier_(notifier)
    , workspace_(workspace)
{
    timer_.setInterval(config_.intervalMs);
    connect(&timer_, &QTimer::timeout, this, &UpdateChecker::check);
}

void UpdateChecker::start()
{
    check();
    timer_.start();
}

void UpdateChecker::check()
{
    if (config_.feedURL.isEmpty())
        return;
    QNetworkRequest request(config_.feedURL);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(config_.timeoutMs);
    QNetworkReply* reply = network_.get(request);
    // A feed larger than any real one is not read to its end.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > UpdateFeed::kMaxBodyBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status != 200)
            return;
        const auto feed = UpdateFeed::parse(reply->readAll(), config_.allowLoopbackHttp);
        if (feed && UpdateFeed::isNewer(feed->version, config_.currentVersion))
            adopt(*feed);
    });
}

void UpdateChecker::adopt(const UpdateFeed& feed)
{
    const bool changed = !latest_ || latest_->version != feed.version;
    latest_ = feed;
    if (changed)
        Q_EMIT latestVersionChanged();
    if (notified_ == feed.version)
        return;
    notified_ = feed.version;
    notifier_.post(HLFormat(QStringLiteral("Velquin 遠端桌面：有新版本 %@"), { feed.version }),
                   feed.notes.isEmpty() ? HL(QStringLiteral("從選單列的「Velquin 遠端桌面」圖示下載新版本。")) : feed.notes);
}

void UpdateChecker::setUpdating(bool updating)
{
    if (updating_ == updating)
        return;
    updating_ = updating;
    Q_EMIT updatingChanged();
}

void UpdateChecker::download(std::function<void(std::optional<QString>)> done)
{
    if (!latest_ || updating_) {
        done(std::nullopt);
        return;
    }
    const UpdateFeed feed = *latest_;
    // Not signed by our key: not worth the download.
    if (!feed.signatureValid(config_.publicKey)) {
        qCWarning(hostLog).noquote() << "update" << feed.version << "is not signed by our key; not downloading it";
        done(std::nullopt);
        return;
    }
    QDir().mkpath(config_.downloadFolder);
    const QString target = QDir(config_.downloadFolder).filePath(kArchiveName);
    auto partial = std::make_shared<QFile>(target + QStringLiteral(".part"));
    if (!partial->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCWarning(hostLog).noquote() << "cannot write the update:" << partial->errorString();
        done(std::nullopt);
        return;
    }
    progress_ = 0;
    setUpdating(true);
    auto hash = std::make_shared<QCryptographicHash>(QCryptographicHash::Sha256);
    auto failure = std::make_shared<QString>();
    QNetworkRequest request(feed.url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(config_.timeoutMs);
    QNetworkReply* reply = network_.get(request);
    // Streamed to disk; more bytes than the feed announced end it at once.
    connect(reply, &QNetworkReply::readyRead, reply, [reply, partial, hash, failure, feed] {
        const QByteArray bytes = reply->readAll();
        if (partial->size() + bytes.size() > feed.size) {
            *failure = QStringLiteral("more bytes than announced");
            reply->abort();
            return;
        }
        hash->addData(bytes);
        if (partial->write(bytes) != bytes.size()) {
            *failure = partial->errorString();
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [this, feed](qint64 received, qint64) {
        const int percent = int(std::min<qint64>(100, received * 100 / feed.size));
        if (percent != progress_) {
            progress_ = percent;
            Q_EMIT progressChanged();
        }
    });
    QPointer<UpdateChecker> self(this);
    connect(reply, &QNetworkReply::finished, this, [self, reply, partial, hash, failure, feed, target, done] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QString problem = *failure;
        if (problem.isEmpty() && reply->error() != QNetworkReply::NoError)
            problem = reply->errorString();
        if (problem.isEmpty() && status != 200)
            problem = QStringLiteral("HTTP status %1").arg(status);
        partial->flush();
        if (problem.isEmpty() && partial->size() != feed.size)
            problem = QStringLiteral("%1 of %2 bytes").arg(partial->size()).arg(feed.size);
        if (problem.isEmpty() && hash->result() != feed.sha256)
            problem = QStringLiteral("the SHA-256 differs");
        partial->close();
        if (problem.isEmpty()) {
            QFile::remove(target);
            if (!QFile::rename(partial->fileName(), target))
                problem = QStringLiteral("cannot keep the download");
        }
        if (!problem.isEmpty()) {
            qCWarning(hostLog).noquote() << "update" << feed.version << "not downloaded:" << problem;
            partial->remove();
        }
        if (self)
            self->setUpdating(false);
        done(problem.isEmpty() ? std::optional<QString>(target) : std::nullopt);
    });
}

void UpdateChecker::promptAndUpdate()
{
    if (!latest_ || updating_ || !confirm || !confirm(latest_->version))
        return;
    QPointer<UpdateChecker> self(this);
    download([self](std::optional<QString> archive) {
        if (!self)
            return;
        if (!archive) {
            if (self->onFailed)
                self->onFailed();
            return;
        }
        self->install(*archive);
    });
}

void UpdateChecker::install(const QString& archive)
{
    setUpdating(true);
    // Unpacked beside the installed copy, started from there to swap it in once we are gone.
    const auto helper = installFolder ? installer.prepare(archive, *installFolder, QCoreApplication::applicationPid()) : std::nullopt;
    if (helper && installer.start(*helper)) {
        QCoreApplication::quit();
        return;
    }
    // Not an installed copy, or it could not be staged: the verified archive is shown for
    // installing by hand.
    qCWarning(hostLog).noquote() << "update: installing by hand from" << archive;
    if (installFolder)
        UpdateInstaller::cleanUp(*installFolder);
    setUpdating(false);
    workspace_.revealFiles({ archive });
}
