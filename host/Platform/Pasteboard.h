#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// The desktop clipboard.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    // Rises by one on every change of the clipboard's content, by anyone.
    virtual long changeCount() = 0;
    virtual std::optional<QString> text() = 0;
    virtual std::optional<QByteArray> png() = 0;
    virtual QStringList filePaths() = 0;
    virtual bool setText(const QString& text) = 0;
    virtual bool setPng(const QByteArray& png) = 0;
    virtual bool setFilePaths(const QStringList& paths) = 0;
};
