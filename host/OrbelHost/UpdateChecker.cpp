#include "OrbelHost/UpdateChecker.h"

#include "OrbelHost/HostL10n.h"
#include "OrbelHost/Log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

UpdateChecker::UpdateChecker(Config config, Notifier& notifier, Workspace& workspace, PackageManager* packages, QObject* parent)
    : QObject(parent)
    , config_(std::move(config))
    , notifier_(notifier)
    , workspace_(workspace)
    , packages_(packages)
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

UpdateFeed::Form UpdateChecker::form() const
{
    return packages_ && packages_->owns(program) ? UpdateFeed::Form::Deb : UpdateFeed::Form::Tar;
}

void UpdateChecker::download(UpdateFeed::Form form, std::function<void(std::optional<QString>)> done)
{
    if (!latest_ || updating_) {
        done(std::nullopt);
        return;
    }
    const QString version = latest_->version;
    if (!latest_->artifact(form)) {
        qCWarning(hostLog).noquote() << "update" << version << "is not offered as"
                                     << (form == UpdateFeed::Form::Deb ? "a Debian package" : "an archive");
        done(std::nullopt);
        return;
    }
    const UpdateFeed::Artifact file = *latest_->artifact(form);
    // Not signed by our key: not worth the download.
    if (!latest_->signatureValid(file, config_.publicKey)) {
        qCWarning(hostLog).noquote() << "update" << version << "is not signed by our key; not downloading it";
        done(std::nullopt);
        return;
    }
    QDir().mkpath(config_.downloadFolder);
    const QString target = QDir(config_.downloadFolder).filePath(form == UpdateFeed::Form::Deb ? kPackageName : kArchiveName);
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
    QNetworkRequest request(file.url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(config_.timeoutMs);
    QNetworkReply* reply = network_.get(request);
    // Streamed to disk; more bytes than the feed announced end it at once.
    connect(reply, &QNetworkReply::readyRead, reply, [reply, partial, hash, failure, file] {
        const QByteArray bytes = reply->readAll();
        if (partial->size() + bytes.size() > file.size) {
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
    connect(reply, &QNetworkReply::downloadProgress, this, [this, file](qint64 received, qint64) {
        const int percent = int(std::min<qint64>(100, received * 100 / file.size));
        if (percent != progress_) {
            progress_ = percent;
            Q_EMIT progressChanged();
        }
    });
    QPointer<UpdateChecker> self(this);
    connect(reply, &QNetworkReply::finished, this, [self, reply, partial, hash, failure, file, version, target, done] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QString problem = *failure;
        if (problem.isEmpty() && reply->error() != QNetworkReply::NoError)
            problem = reply->errorString();
        if (problem.isEmpty() && status != 200)
            problem = QStringLiteral("HTTP status %1").arg(status);
        partial->flush();
        if (problem.isEmpty() && partial->size() != file.size)
            problem = QStringLiteral("%1 of %2 bytes").arg(partial->size()).arg(file.size);
        if (problem.isEmpty() && hash->result() != file.sha256)
            problem = QStringLiteral("the SHA-256 differs");
        partial->close();
        if (problem.isEmpty()) {
            QFile::remove(target);
            if (!QFile::rename(partial->fileName(), target))
                problem = QStringLiteral("cannot keep the download");
        }
        if (!problem.isEmpty()) {
            qCWarning(hostLog).noquote() << "update" << version << "not downloaded:" << problem;
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
    const UpdateFeed::Form how = form();
    QPointer<UpdateChecker> self(this);
    download(how, [self, how](std::optional<QString> file) {
        if (!self)
            return;
        if (!file) {
            if (self->onFailed)
                self->onFailed();
            return;
        }
        self->install(how, *file);
    });
}

void UpdateChecker::install(UpdateFeed::Form form, const QString& file)
{
    setUpdating(true);
    if (form == UpdateFeed::Form::Deb) {
        installPackage(file);
        return;
    }
    // Unpacked beside the installed copy, started from there to swap it in once we are gone.
    const auto helper = installFolder ? installer.prepare(file, *installFolder, QCoreApplication::applicationPid()) : std::nullopt;
    if (helper && installer.start(*helper)) {
        QCoreApplication::quit();
        return;
    }
    if (installFolder)
        UpdateInstaller::cleanUp(*installFolder);
    giveUp(file);
}

void UpdateChecker::installPackage(const QString& file)
{
    QPointer<UpdateChecker> self(this);
    packages_->install(file, [self, file](PackageManager::Outcome outcome) {
        if (!self)
            return;
        switch (outcome) {
        case PackageManager::Outcome::Installed:
            // The package put the new program where this one was; it starts once we are gone.
            if (self->installer.start({ self->program, { UpdateInstaller::kAfterUpdateFlag, QString::number(QCoreApplication::applicationPid()) } })) {
                QCoreApplication::quit();
                return;
            }
            qCWarning(hostLog).noquote() << "update: installed, but the new version does not start; it runs from the next start";
            break;
        case PackageManager::Outcome::Declined:
            qCInfo(hostLog).noquote() << "update: the package was not installed (not authorised)";
            break;
        case PackageManager::Outcome::Unavailable:
            // The software centre installs it, asking the user itself.
            qCInfo(hostLog).noquote() << "update: opening" << file << "for installing";
            self->workspace_.openUrl(QUrl::fromLocalFile(file));
            break;
        case PackageManager::Outcome::Failed:
            if (self->onFailed)
                self->onFailed();
            self->giveUp(file);
            return;
        }
        self->setUpdating(false);
    });
}

void UpdateChecker::giveUp(const QString& file)
{
    // Not an installed copy, or it could not be put in place: the verified file is shown for
    // installing by hand.
    qCWarning(hostLog).noquote() << "update: installing by hand from" << file;
    setUpdating(false);
    workspace_.revealFiles({ file });
}
