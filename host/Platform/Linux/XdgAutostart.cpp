#include "Platform/Linux/XdgAutostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
Q_LOGGING_CATEGORY(autostartLog, "orbel.autostart")
} // namespace

XdgAutostart::XdgAutostart(QString command)
{
    if (command.isEmpty())
        exec_ = installedExecLine();
    if (exec_.isEmpty())
        exec_ = execLine(command.isEmpty() ? QCoreApplication::applicationFilePath() : command);
}

QString XdgAutostart::installedExecLine()
{
    const QString entry = QStandardPaths::locate(QStandardPaths::GenericDataLocation, QStringLiteral("applications/") + kFileName);
    QFile file(entry);
    if (entry.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    bool inMain = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw.trimmed());
        if (line.startsWith(QLatin1Char('[')))
            inMain = line == QStringLiteral("[Desktop Entry]");
        if (!inMain || !line.startsWith(QStringLiteral("Exec=")))
            continue;
        const QString exec = line.mid(5).trimmed();
        // The program is the first word, or the first double-quoted string.
        QString program;
        if (exec.startsWith(QLatin1Char('"'))) {
            for (qsizetype i = 1; i < exec.size() && exec[i] != QLatin1Char('"'); ++i) {
                if (exec[i] == QLatin1Char('\\') && i + 1 < exec.size())
                    ++i;
                program += exec[i];
            }
        } else {
            program = exec.section(QLatin1Char(' '), 0, 0);
        }
        const bool present = QFileInfo(program).isAbsolute() ? QFileInfo(program).isExecutable()
                                                             : !QStandardPaths::findExecutable(program).isEmpty();
        return present ? exec : QString();
    }
    return {};
}

QString XdgAutostart::path() const
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("autostart/") + kFileName);
}

QString XdgAutostart::execLine(const QString& program)
{
    // Quoted when it holds anything the Exec key's rules reserve; inside the quotes, ", `, $
    // and \ are escaped with a backslash.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`%=");
    bool plain = true;
    for (QChar c : program)
        plain = plain && !reserved.contains(c);
    if (plain)
        return program;
    QString quoted = QStringLiteral("\"");
    for (QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

bool XdgAutostart::isEnabled()
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false")
            return false;
    }
    return true;
}

bool XdgAutostart::setEnabled(bool enabled)
{
    const QString file = path();
    if (!enabled) {
        if (!QFile::exists(file) || QFile::remove(file))
            return true;
        qCWarning(autostartLog).noquote() << "cannot remove" << file;
        return false;
    }
    if (!QDir().mkpath(QFileInfo(file).absolutePath())) {
        qCWarning(autostartLog).noquote() << "cannot make the folder of" << file;
        return false;
    }
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) {
        qCWarning(autostartLog).noquote() << "cannot write" << file << ":" << out.errorString();
        return false;
    }
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Velquin Remote Desktop\n"
                                         "Name[zh_TW]=Velquin 遠端桌面\n"
                                         "Exec=%1\n"
                                         "Icon=velquin-host\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(exec_);
    out.write(entry.toUtf8());
    if (!out.commit()) {
        qCWarning(autostartLog).noquote() << "cannot write" << file << ":" << out.errorString();
        return false;
    }
    return true;
}
