#pragma once
#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>
#include <optional>

// The desktop clipboard. Called on the main thread only.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    // Rises on every change of the clipboard's owner or content, by anyone, this process included.
    virtual long changeCount() = 0;
    // Copied files and folders as local paths, in the order given; empty when there are none.
    virtual QStringList filePaths() = 0;
    // PNG data as the owner offers it.
    virtual std::optional<QByteArray> png() = 0;
    // Image data of another type (BMP, JPEG, TIFF…), for the caller to decode.
    virtual std::optional<QByteArray> otherImage() = 0;
    virtual std::optional<QString> text() = 0;
    // Both replace whatever the clipboard held.
    virtual bool setText(const QString& text) = 0;
    // Offered as PNG and in whatever other image types the desktop asks for.
    virtual bool setImage(const QImage& image) = 0;
};
