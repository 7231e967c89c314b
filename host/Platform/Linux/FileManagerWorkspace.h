#pragma once
// Shows files in the desktop's file manager (org.freedesktop.FileManager1 on the session bus)
// and opens web addresses with the desktop's handler.

#include "Platform/Workspace.h"

#include <QDBusConnection>

class FileManagerWorkspace : public Workspace {
public:
    explicit FileManagerWorkspace(QDBusConnection bus = QDBusConnection::sessionBus());
    bool openUrl(const QUrl& url) override;
    // Asks without waiting; a desktop without such a file manager shows nothing (logged).
    bool revealFiles(const QStringList& paths) override;

private:
    QDBusConnection bus_;
};
