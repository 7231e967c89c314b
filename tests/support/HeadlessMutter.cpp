#include "support/HeadlessMutter.h"

#include "Platform/Linux/MutterRemoteDesktop.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

HeadlessMutter::HeadlessMutter(QSize monitor)
{
    QFile::setPermissions(runtime_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // This process reads the screen cast from the same PipeWire daemon.
    savedPipeWireDir_ = qgetenv("PIPEWIRE_RUNTIME_DIR");
    qputenv("PIPEWIRE_RUNTIME_DIR", runtime_.path().toUtf8());
    if (MutterRemoteDesktop::available()) {
        error_ = QStringLiteral("another mutter already owns the remote-desktop service on this bus");
        return;
    }
    if (!start(QStringLiteral("pipewire"), {}, QStringLiteral("pipewire-0")) || !start(QStringLiteral("wireplumber"), {}, {})
        || !start(QStringLiteral("mutter"),
                  { QStringLiteral("--headless"), QStringLiteral("--virtual-monitor"),
                    QStringLiteral("%1x%2").arg(monitor.width()).arg(monitor.height()), QStringLiteral("--wayland"),
                    QStringLiteral("--no-x11"), QStringLiteral("--wayland-display=") + kDisplay },
                  kDisplay))
        return;
    QElapsedTimer waited;
    waited.start();
    while (!MutterRemoteDesktop::available()) {
        if (waited.elapsed() > 10'000) {
            error_ = QStringLiteral("mutter did not offer its remote-desktop service: ")
                + QString::fromLocal8Bit(processes_.back()->readAll().right(2000));
            return;
        }
        QThread::msleep(20);
    }
}

bool HeadlessMutter::start(const QString& program, const QStringList& arguments, const QString& readyFile)
{
    if (QStandardPaths::findExecutable(program).isEmpty()) {
        error_ = program + QStringLiteral(" is not installed (scripts/setup installs it)");
        return false;
    }
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(program, arguments);
    if (!process->waitForStarted(5000)) {
        error_ = program + QStringLiteral(" does not start: ") + process->errorString();
        return false;
    }
    processes_.push_back(std::move(process));
    QElapsedTimer waited;
    waited.start();
    while (!readyFile.isEmpty() && !QFile::exists(QDir(runtime_.path()).filePath(readyFile))) {
        if (waited.elapsed() > 10'000 || processes_.back()->state() == QProcess::NotRunning) {
            error_ = program + QStringLiteral(" did not come up: ") + QString::fromLocal8Bit(processes_.back()->readAll().right(2000));
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

HeadlessMutter::~HeadlessMutter()
{
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
        (*it)->terminate();
        if (!(*it)->waitForFinished(5000)) {
            (*it)->kill();
            (*it)->waitForFinished(2000);
        }
    }
    if (savedPipeWireDir_.isNull())
        qunsetenv("PIPEWIRE_RUNTIME_DIR");
    else
        qputenv("PIPEWIRE_RUNTIME_DIR", savedPipeWireDir_);
}
