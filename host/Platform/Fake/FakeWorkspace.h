#pragma once
#include "Platform/Workspace.h"
#include <QList>

class FakeWorkspace : public Workspace {
public:
    QList<QUrl> opened;
    QStringList revealed;
    bool openUrl(const QUrl& url) override { opened.append(url); return true; }
    bool revealFiles(const QStringList& paths) override { revealed += paths; return true; }
};
