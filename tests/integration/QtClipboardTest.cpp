// The desktop clipboard on a real X server (the test display), with xclip as the other
// application.

#include "OrbelHost/FileTransfer.h"
#include "Platform/Linux/QtClipboard.h"
#include "support/Wait.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {
// xclip owning the clipboard with `data` of type `target`, in the foreground so it can be stopped.
class Owner {
public:
    Owner(const QByteArray& data, const QString& target)
    {
        process_.start(QStringLiteral("xclip"), { QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                                  QStringLiteral("-quiet"), QStringLiteral("-t"), target,
                                                  QStringLiteral("-i") });
        process_.waitForStarted();
        process_.write(data);
        process_.closeWriteChannel();
    }
    ~Owner()
    {
        process_.kill();
        process_.waitForFinished();
    }

private:
    QProcess process_;
};

// What another application reads from the clipboard as `target`; the host's loop keeps running.
QByteArray readAs(const QString& target)
{
    QProcess reader;
    reader.start(QStringLiteral("xclip"), { QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-o"),
                                            QStringLiteral("-t"), target });
    waitFor([&] { return reader.state() == QProcess::NotRunning; }, 5000);
    return reader.readAllStandardOutput();
}

QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}
} // namespace

TEST(QtClipboardTest, CountsChangesAndReadsWhatOtherApplicationsCopy)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") || QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty())
        GTEST_SKIP() << "needs an X display and xclip";
    QtClipboard clipboard;
    long count = clipboard.changeCount();

    {
        Owner owner("copied in another app", QStringLiteral("UTF8_STRING"));
        ASSERT_TRUE(waitFor([&] { return clipboard.changeCount() > count; }));
        EXPECT_EQ(clipboard.text(), QStringLiteral("copied in another app"));
        EXPECT_TRUE(std::holds_alternative<FileTransfer::Text>(FileTransfer::readClipboard(clipboard)));
    }
    // The owner's exit empties the clipboard: a change too.
    const auto settled = [&] {
        pump(100);
        count = clipboard.changeCount();
    };
    settled();

    QImage image(5, 3, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    const QByteArray png = encoded(image, "PNG");
    {
        Owner owner(png, QStringLiteral("image/png"));
        ASSERT_TRUE(waitFor([&] { return clipboard.changeCount() > count; }));
        const auto content = FileTransfer::readClipboard(clipboard);
        ASSERT_TRUE(std::holds_alternative<FileTransfer::Image>(content));
        EXPECT_EQ(std::get<FileTransfer::Image>(content).png, png) << "passed on byte for byte";
    }
    settled();
    {
        Owner owner(encoded(image, "BMP"), QStringLiteral("image/bmp"));
        ASSERT_TRUE(waitFor([&] { return clipboard.changeCount() > count; }));
        const auto content = FileTransfer::readClipboard(clipboard);
        ASSERT_TRUE(std::holds_alternative<FileTransfer::Image>(content));
        const QImage converted = QImage::fromData(std::get<FileTransfer::Image>(content).png, "PNG");
        EXPECT_EQ(converted.size(), QSize(5, 3));
        EXPECT_EQ(converted.pixelColor(4, 2), QColor(Qt::magenta));
    }
    settled();

    QTemporaryDir dir;
    const QString file = dir.filePath("a file.txt");
    QFile(file).open(QIODevice::WriteOnly);
    QDir().mkpath(dir.filePath("folder"));
    {
        const QByteArray uris = QUrl::fromLocalFile(dir.filePath("folder")).toEncoded() + "\r\n"
            + QUrl::fromLocalFile(file).toEncoded() + "\r\nhttps://example.invalid/x\r\n";
        Owner owner(uris, QStringLiteral("text/uri-list"));
        ASSERT_TRUE(waitFor([&] { return clipboard.changeCount() > count; }));
        EXPECT_EQ(clipboard.filePaths(), (QStringList { dir.filePath("folder"), file }));
        const auto content = FileTransfer::readClipboard(clipboard);
        ASSERT_TRUE(std::holds_alternative<FileTransfer::Files>(content));
        EXPECT_EQ(std::get<FileTransfer::Files>(content).paths, QStringList { file });
    }
    settled();
    {
        Owner owner(QUrl::fromLocalFile(dir.filePath("folder")).toEncoded(), QStringLiteral("text/uri-list"));
        ASSERT_TRUE(waitFor([&] { return clipboard.changeCount() > count; }));
        EXPECT_TRUE(std::holds_alternative<FileTransfer::FoldersOnly>(FileTransfer::readClipboard(clipboard)));
    }
}

TEST(QtClipboardTest, WhatTheHostPutsOnTheClipboardOtherApplicationsRead)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") || QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty())
        GTEST_SKIP() << "needs an X display and xclip";
    QtClipboard clipboard;
    const long before = clipboard.changeCount();
    ASSERT_TRUE(clipboard.setText(QStringLiteral("from the phone 手機 🎉")));
    // Our own write counts at once, so it can be marked as seen.
    EXPECT_GT(clipboard.changeCount(), before);
    EXPECT_EQ(QString::fromUtf8(readAs(QStringLiteral("UTF8_STRING"))), QStringLiteral("from the phone 手機 🎉"));

    QImage image(7, 4, QImage::Format_RGB32);
    image.fill(Qt::cyan);
    EXPECT_FALSE(FileTransfer::writeClipboard(clipboard, "not an image"));
    EXPECT_EQ(QString::fromUtf8(readAs(QStringLiteral("UTF8_STRING"))), QStringLiteral("from the phone 手機 🎉"));
    ASSERT_TRUE(FileTransfer::writeClipboard(clipboard, encoded(image, "JPEG")));
    const QImage read = QImage::fromData(readAs(QStringLiteral("image/png")), "PNG");
    EXPECT_EQ(read.size(), QSize(7, 4));
    EXPECT_TRUE(readAs(QStringLiteral("TARGETS")).contains("image/png"));
}
