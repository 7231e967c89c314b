#pragma once
// Looks for a newer release every 12 hours, tells the user once per version, and fetches a
// release the user asked for: a download is kept only if its HTTP status, size, SHA-256 and
// Ed25519 signature (over version, size and hash) all check out; anything else is deleted.
//
// How it is installed follows how this copy was: a copy the package manager owns gets the
// Debian package, handed to the package manager (never files swapped under it); a per-user
// install gets the archive, swapped in by UpdateInstaller; any other copy (a build folder) gets
// the archive shown in the file manager.

#include "OrbelHost/UpdateFeed.h"
#include "OrbelHost/UpdateInstaller.h"
#include "Platform/Notifier.h"
#include "Platform/PackageManager.h"
#include "Platform/Workspace.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <optional>

class QNetworkReply;

class UpdateChecker : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString latestVersion READ latestVersion NOTIFY latestVersionChanged)
    Q_PROPERTY(bool updating READ updating NOTIFY updatingChanged)
    Q_PROPERTY(int progress READ progress NOTIFY progressChanged)

public:
    struct Config {
        QUrl feedURL;           // empty: never checks
        QString currentVersion; // the running version
        QByteArray publicKey;   // Ed25519, 32 raw bytes; empty: nothing can be installed
        bool allowLoopbackHttp = false;
        int intervalMs = 12 * 60 * 60 * 1000;
        int timeoutMs = 60'000;
        QString downloadFolder; // where the verified archive is kept
    };
    // `packages` may be null: then no copy counts as the package manager's.
    UpdateChecker(Config config, Notifier& notifier, Workspace& workspace, PackageManager* packages = nullptr,
                  QObject* parent = nullptr);

    static inline const QString kFeedPath = QStringLiteral("/remote-desktop/linux-latest.json");
    static inline const QString kArchiveName = QStringLiteral("Velquin-Remote-Desktop-update.tar.gz");
    static inline const QString kPackageName = QStringLiteral("Velquin-Remote-Desktop-update.deb");

    QString latestVersion() const { return latest_ ? latest_->version : QString(); }
    const std::optional<UpdateFeed>& latest() const { return latest_; }
    bool updating() const { return updating_; }
    // Percent of the download so far, while updating.
    int progress() const { return progress_; }

    // Checks now, then every interval.
    void start();
    void check();
    // The form of release this copy is updated from.
    UpdateFeed::Form form() const;
    // Fetches the latest release in `form`; `done` gets the verified file's path, or nothing
    // (the reason is logged, and nothing is left on disk).
    void download(UpdateFeed::Form form, std::function<void(std::optional<QString> file)> done);
    // Asks the user, and on agreement downloads, verifies and installs the latest release,
    // then quits for the new version to start.
    void promptAndUpdate();

    // Set by the app shell: asks whether to update to `version` now.
    std::function<bool(const QString& version)> confirm;
    // Set by the app shell: tells the user the download failed.
    std::function<void()> onFailed;
    // The program this process runs (taken at start: once a package update replaces it, the
    // kernel names the old file "(deleted)"), the per-user install it belongs to (nothing for a
    // build folder or a package), and how the new version is started; replaceable for tests.
    QString program = QCoreApplication::applicationFilePath();
    std::optional<QString> installFolder = UpdateInstaller::installFolderOf(program);
    UpdateInstaller installer;

Q_SIGNALS:
    void latestVersionChanged();
    void updatingChanged();
    void progressChanged();

private:
    void setUpdating(bool updating);
    void adopt(const UpdateFeed& feed);
    void install(UpdateFeed::Form form, const QString& file);
    void installPackage(const QString& file);
    void giveUp(const QString& file);

    Config config_;
    Notifier& notifier_;
    Workspace& workspace_;
    PackageManager* packages_;
    QNetworkAccessManager network_;
    QTimer timer_;
    std::optional<UpdateFeed> latest_;
    QString notified_;
    bool updating_ = false;
    int progress_ = 0;
};
