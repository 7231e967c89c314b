// FileTransfer: the desktop's clipboard as the phones see it, and screenshots.

#include "OrbelHost/FileTransfer.h"

#include "OrbelHost/Log.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <sys/stat.h>

namespace {
std::optional<QByteArray> encodePNG(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return std::nullopt;
    return bytes;
}

bool isRegularFile(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}
} // namespace

std::optional<QImage> FileTransfer::decodeImage(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    // The header's size first: a few bytes must not make us allocate gigabytes.
    if (!size.isValid() || qint64(size.width()) * size.height() > kMaxImagePixels)
        return std::nullopt;
    reader.setAllocationLimit(int(kMaxImagePixels * 8 / (1024 * 1024)));
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return image;
}

FileTransfer::ClipboardContent FileTransfer::readClipboard(Pasteboard& pasteboard)
{
    const QStringList paths = pasteboard.filePaths();
    if (!paths.isEmpty()) {
        QStringList files;
        for (const QString& path : paths)
            if (isRegularFile(path))
                files.append(path);
        if (!files.isEmpty())
            return Files { files };
        return FoldersOnly {};
    }
    if (auto png = pasteboard.png(); png && !png->isEmpty())
        return Image { *png };
    if (auto other = pasteboard.otherImage()) {
        if (auto image = decodeImage(*other))
            if (auto png = encodePNG(*image))
                return Image { *png };
    }
    if (auto text = pasteboard.text(); text && !text->isEmpty())
        return Text { *text };
    return Empty {};
}

bool FileTransfer::writeClipboard(Pasteboard& pasteboard, const QByteArray& bytes)
{
    const auto image = decodeImage(bytes);
    return image && pasteboard.setImage(*image);
}

std::optional<QByteArray> FileTransfer::screenshotPNG(ScreenSource& source, const std::optional<Pointer>& pointer)
{
    if (!source.open()) {
        qCWarning(hostLog).noquote() << "Orbel: 截圖失敗 " + source.errorString();
        return std::nullopt;
    }
    source.poll();
    const auto grabbed = source.grab();
    if (!grabbed) {
        qCWarning(hostLog).noquote() << "Orbel: 截圖失敗 " + source.errorString();
        source.close();
        return std::nullopt;
    }
    // B G R X in memory is what QImage calls RGB32; copied, as the view ends with close().
    QImage image = QImage(grabbed->bgra, grabbed->width, grabbed->height, grabbed->stride, QImage::Format_RGB32).copy();
    source.close();
    // Unlike the video, a screenshot shows the pointer.
    if (pointer && !pointer->image.isNull()) {
        QPainter painter(&image);
        painter.drawImage(pointer->topLeft, pointer->image);
    }
    return encodePNG(image);
}
