#include "OrbelHost/UpdateInstaller.h"

#include "OrbelHost/Log.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <signal.h>

#include <cerrno>

namespace {
QString staged(const QString& install)
{
    return install + QStringLiteral(".staging");
}

QString aside(const QString& install)
{
    return install + QStringLiteral(".old");
}

bool rename(const QString& from, const QString& to)
{
    return QDir().rename(from, to);
}

// A folder that an update could have made: a regular folder holding the marker and a binary.
bool installable(const QString& tree)
{
    const QFileInfo marker(QDir(tree).filePath(UpdateInstaller::kMarker));
    const QFileInfo binary(QDir(tree).filePath(UpdateInstaller::kBinary));
    return marker.isFile() && !marker.isSymLink() && binary.isFile() && !binary.isSymLink() && binary.isExecutable();
}
} // namespace

UpdateInstaller::UpdateInstaller(Launcher launch, Alive alive, int exitWaitMs)
    : launch_(launch ? std::move(launch)
                     : Launcher([](const QString& program, const QStringList& arguments) {
                           return QProcess::startDetached(program, arguments);
                       }))
    , alive_(alive ? std::move(alive) : Alive([](qint64 pid) { return ::kill(pid_t(pid), 0) == 0 || errno == EPERM; }))
    , exitWaitMs_(exitWaitMs)
{
}

std::optional<QString> UpdateInstaller::installFolderOf(const QString& binaryPath)
{
    const QString binary = QFileInfo(binaryPath).canonicalFilePath();
    if (binary.isEmpty())
        return std::nullopt;
    QDir folder = QFileInfo(binary).dir();
    if (!folder.cdUp() || !installable(folder.path())
        || QFileInfo(folder.filePath(kBinary)).canonicalFilePath() != binary)
        return std::nullopt;
    return folder.path();
}

std::optional<UpdateInstaller::Helper> UpdateInstaller::prepare(const QString& archive, const QString& install, qint64 pid) const
{
    const QString staging = staged(install);
    QDir(staging).removeRecursively();
    if (!QDir().mkpath(staging)) {
        qCWarning(hostLog).noquote() << "update: cannot make" << staging;
        return std::nullopt;
    }
    // Arguments, not a command line: no path can turn into shell code.
    QProcess tar;
    tar.start(QStringLiteral("tar"), { QStringLiteral("-xzf"), archive, QStringLiteral("-C"), staging,
                                       QStringLiteral("--no-same-owner") });
    const QString tree = QDir(staging).filePath(kArchiveRoot);
    if (!tar.waitForFinished(120'000) || tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0 || !installable(tree)) {
        qCWarning(hostLog).noquote() << "update: the archive does not hold an installable copy:"
                                     << QString::fromLocal8Bit(tar.readAllStandardError()).trimmed();
        QDir(staging).removeRecursively();
        return std::nullopt;
    }
    return Helper { QDir(tree).filePath(kBinary), { kFinishFlag, QString::number(pid), install } };
}

bool UpdateInstaller::awaitExit(qint64 pid) const
{
    QElapsedTimer waited;
    waited.start();
    while (alive_(pid) && waited.elapsed() < exitWaitMs_)
        QThread::msleep(50);
    return !alive_(pid);
}

bool UpdateInstaller::finish(qint64 pid, const QString& install) const
{
    if (!awaitExit(pid)) {
        // The old app is still running: it stays as it is, and nothing is swapped under it.
        qCWarning(hostLog).noquote() << "update: the running app did not quit; update abandoned";
        QDir(staged(install)).removeRecursively();
        return false;
    }
    const QString tree = QDir(staged(install)).filePath(kArchiveRoot);
    const QString old = aside(install);
    const QString binary = QDir(install).filePath(kBinary);
    QDir(old).removeRecursively();
    if (!installable(tree) || !rename(install, old)) {
        qCWarning(hostLog).noquote() << "update: cannot move" << install << "aside; starting the old version";
        launch_(binary, {});
        return false;
    }
    if (!rename(tree, install)) {
        qCWarning(hostLog).noquote() << "update: cannot put the new version in place; starting the old one";
        rename(old, install);
        launch_(binary, {});
        return false;
    }
    if (!launch_(binary, {})) {
        qCWarning(hostLog).noquote() << "update: the new version does not start; putting the old one back";
        rename(install, staged(install) + QStringLiteral("/failed"));
        rename(old, install);
        launch_(binary, {});
        return false;
    }
    return true;
}

void UpdateInstaller::cleanUp(const QString& install)
{
    QDir(aside(install)).removeRecursively();
    QDir(staged(install)).removeRecursively();
}
