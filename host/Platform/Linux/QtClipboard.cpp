#include "Platform/Linux/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImageReader>
#include <QMimeData>
#include <QUrl>

QtClipboard::QtClipboard()
{
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::changed, &context_, [this](QClipboard::Mode mode) {
        if (mode == QClipboard::Clipboard)
            ++changes_;
    });
}

QtClipboard::~QtClipboard() = default;

const QMimeData* QtClipboard::current() const
{
    return QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
}

QStringList QtClipboard::filePaths()
{
    QStringList paths;
    const auto* data = current();
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    return paths;
}

std::optional<QByteArray> QtClipboard::png()
{
    const auto* data = current();
    if (!data || !data->hasFormat(QStringLiteral("image/png")))
        return std::nullopt;
    return data->data(QStringLiteral("image/png"));
}

std::optional<QByteArray> QtClipboard::otherImage()
{
    const auto* data = current();
    if (!data)
        return std::nullopt;
    const auto readable = QImageReader::supportedMimeTypes();
    for (const QString& format : data->formats())
        if (format.startsWith(QStringLiteral("image/")) && readable.contains(format.toLatin1()))
            return data->data(format);
    return std::nullopt;
}

std::optional<QString> QtClipboard::text()
{
    const auto* data = current();
    if (!data || !data->hasText())
        return std::nullopt;
    return data->text();
}

bool QtClipboard::setText(const QString& text)
{
    auto* data = new QMimeData;
    data->setText(text);
    QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
    return true;
}

bool QtClipboard::setImage(const QImage& image)
{
    if (image.isNull())
        return false;
    auto* data = new QMimeData;
    // Qt offers it as PNG and converts to the other image types applications ask for.
    data->setImageData(image);
    QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
    return true;
}
