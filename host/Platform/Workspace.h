#pragma once
#include <QStringList>
#include <QUrl>

// The desktop's file manager and URL handlers.
class Workspace {
public:
    virtual ~Workspace() = default;
    virtual bool openUrl(const QUrl& url) = 0;
    virtual bool revealFiles(const QStringList& paths) = 0;
};
