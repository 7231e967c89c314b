#include "Platform/Linux/AptPackageManager.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>

namespace {
Q_LOGGING_CATEGORY(packagesLog, "orbel.packages")
} // namespace

AptPackageManager::AptPackageManager(QStringList installCommand, QString adminDir)
    : installCommand_(std::move(installCommand))
    , adminDir_(std::move(adminDir))
{
}

QStringList AptPackageManager::defaultInstallCommand()
{
    // -y: the user agreed in our dialog and authorises in the system's; apt still refuses a
    // downgrade or removing other packages without asking. The lock wait covers a background
    // upgrade that is running.
    return { QStringLiteral("pkexec"), QStringLiteral("/usr/bin/apt-get"), QStringLiteral("install"), QStringLiteral("-y"),
             QStringLiteral("-o"), QStringLiteral("DPkg::Lock::Timeout=120") };
}

bool AptPackageManager::owns(const QString& path)
{
    if (QStandardPaths::findExecutable(QStringLiteral("dpkg-query")).isEmpty())
        return false;
    QStringList arguments;
    if (!adminDir_.isEmpty())
        arguments << QStringLiteral("--admindir=") + adminDir_;
    // dpkg-query takes a pattern: the path's own wildcard characters are escaped.
    QString pattern;
    for (QChar c : path) {
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('[') || c == QLatin1Char(']') || c == QLatin1Char('\\'))
            pattern += QLatin1Char('\\');
        pattern += c;
    }
    arguments << QStringLiteral("--search") << QStringLiteral("--") << pattern;
    QProcess query;
    query.start(QStringLiteral("dpkg-query"), arguments);
    if (!query.waitForFinished(10'000)) {
        query.kill();
        query.waitForFinished();
        return false;
    }
    if (query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0)
        return false; // no package has it
    // A diversion is reported too ("diversion by ..."); only a package listing the very path
    // owns it.
    const QString expected = QStringLiteral(": ") + path;
    for (const QByteArray& line : query.readAllStandardOutput().split('\n')) {
        const QString text = QString::fromLocal8Bit(line);
        if (!text.startsWith(QStringLiteral("diversion ")) && text.endsWith(expected))
            return true;
    }
    return false;
}

void AptPackageManager::install(const QString& packageFile, std::function<void(Outcome)> done)
{
    if (installCommand_.isEmpty() || QStandardPaths::findExecutable(installCommand_.first()).isEmpty()) {
        done(Outcome::Unavailable);
        return;
    }
    // apt takes a path only when it is plainly one (absolute, or starting with ./).
    const QString file = QFileInfo(packageFile).absoluteFilePath();
    // Not a child of anything: a password dialog still open when the app quits is left to the
    // system rather than killed under the user.
    auto* process = new QProcess;
    process->setProcessChannelMode(QProcess::MergedChannels);
    QPointer<QObject> alive(&context_);
    QObject::connect(process, &QProcess::finished, process, [process, alive, done](int code, QProcess::ExitStatus status) {
        process->deleteLater();
        const QByteArray output = process->readAll();
        if (!alive)
            return;
        if (status == QProcess::NormalExit && code == 0) {
            done(Outcome::Installed);
        } else if (status == QProcess::NormalExit && (code == kNotAuthorised || code == kNoAuthorisation)) {
            done(Outcome::Declined);
        } else {
            qCWarning(packagesLog).noquote() << QStringLiteral("the package manager did not install the update (%1 %2):")
                                                    .arg(status == QProcess::NormalExit ? QStringLiteral("status") : QStringLiteral("signal"))
                                                    .arg(code)
                                             << QString::fromLocal8Bit(output.right(2000)).trimmed();
            done(Outcome::Failed);
        }
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, alive, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        process->deleteLater();
        if (alive)
            done(Outcome::Unavailable);
    });
    process->start(installCommand_.first(), installCommand_.mid(1) << file);
}
