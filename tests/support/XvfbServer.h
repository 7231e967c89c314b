#pragma once
// A private X server for tests that resize or kill their display, so the shared test
// display stays as it was.

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

class XvfbServer {
public:
    // `extra` goes to Xvfb as well, e.g. {"-extension", "MIT-SHM"} to leave one out.
    explicit XvfbServer(const QStringList& extra = {}, const QString& size = QStringLiteral("1920x1080x24"))
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            return;
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.setStandardErrorFile(QProcess::nullDevice());
        // -displayfd picks a free display and writes its number once the server is ready.
        process_.start(QStringLiteral("Xvfb"), QStringList { QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                             QStringLiteral("-noreset"), QStringLiteral("-nolisten"),
                                                             QStringLiteral("tcp"), QStringLiteral("-screen"),
                                                             QStringLiteral("0"), size } + extra);
        if (!process_.waitForStarted(5000))
            return;
        QByteArray number;
        while (!number.contains('\n') && process_.waitForReadyRead(5000))
            number += process_.readAllStandardOutput();
        if (number.trimmed().isEmpty())
            return;
        display_ = ":" + number.trimmed();
    }
    ~XvfbServer() { kill(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return !display_.isEmpty() && process_.state() == QProcess::Running; }
    QByteArray display() const { return display_; }
    // Switches the server's only output to a new mode of `width` × `height` through RandR.
    bool setMode(int width, int height) const
    {
        const QString name = QStringLiteral("%1x%2").arg(width).arg(height);
        const QString d = QString::fromLatin1(display_);
        auto xrandr = [&](const QStringList& args) {
            return QProcess::execute(QStringLiteral("xrandr"), QStringList { QStringLiteral("-d"), d } + args) == 0;
        };
        // Timings do not matter to Xvfb; only the size does.
        return xrandr({ QStringLiteral("--newmode"), name, QStringLiteral("60"), QString::number(width),
                        QString::number(width + 8), QString::number(width + 16), QString::number(width + 24),
                        QString::number(height), QString::number(height + 2), QString::number(height + 4),
                        QString::number(height + 6) })
            && xrandr({ QStringLiteral("--addmode"), QStringLiteral("screen"), name })
            && xrandr({ QStringLiteral("--output"), QStringLiteral("screen"), QStringLiteral("--mode"), name });
    }
    void kill()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

private:
    QProcess process_;
    QByteArray display_;
};
