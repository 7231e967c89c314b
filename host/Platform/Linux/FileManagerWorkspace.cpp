#include "Platform/Linux/FileManagerWorkspace.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(workspaceLog, "orbel.workspace")
} // namespace

FileManagerWorkspace::FileManagerWorkspace(QDBusConnection bus)
    : bus_(std::move(bus))
{
}

bool FileManagerWorkspace::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

bool FileManagerWorkspace::revealFiles(const QStringList& paths)
{
    QStringList uris;
    for (const QString& path : paths)
        uris.append(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher] {
        watcher->deleteLater();
        if (watcher->isError())
            qCInfo(workspaceLog).noquote() << "no file manager to show the file:" << watcher->error().message();
    });
    return true;
}
