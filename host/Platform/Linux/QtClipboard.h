#pragma once
// The desktop clipboard (X11's CLIPBOARD selection) through Qt's QClipboard. Needs the
// QGuiApplication; reading asks the owning application and waits for its answer.

#include "Platform/Pasteboard.h"

#include <QObject>

class QMimeData;

class QtClipboard : public Pasteboard {
public:
    QtClipboard();
    ~QtClipboard() override;

    long changeCount() override { return changes_; }
    QStringList filePaths() override;
    std::optional<QByteArray> png() override;
    std::optional<QByteArray> otherImage() override;
    std::optional<QString> text() override;
    bool setText(const QString& text) override;
    bool setImage(const QImage& image) override;

private:
    const QMimeData* current() const;
    long changes_ = 0;
    QObject context_;
};
