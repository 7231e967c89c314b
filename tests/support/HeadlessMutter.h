#pragma once
// GNOME's compositor without a screen, for the Wayland tests: PipeWire and WirePlumber (without
// which a screen cast stays paused), then mutter with one virtual monitor, all on the test's
// session bus with a runtime folder of their own. Stopped, in reverse order, when destroyed.

#include <QProcess>
#include <QSize>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class HeadlessMutter {
public:
    explicit HeadlessMutter(QSize monitor = QSize(1280, 720));
    ~HeadlessMutter();
    HeadlessMutter(const HeadlessMutter&) = delete;
    HeadlessMutter& operator=(const HeadlessMutter&) = delete;

    // Whether everything came up; why not otherwise.
    bool ok() const { return error_.isEmpty(); }
    QString errorString() const { return error_; }
    // For Wayland clients: XDG_RUNTIME_DIR and WAYLAND_DISPLAY.
    QString runtimeDir() const { return runtime_.path(); }
    static inline const QString kDisplay = QStringLiteral("velquin-test-wayland");

private:
    bool start(const QString& program, const QStringList& arguments, const QString& readyFile);

    QTemporaryDir runtime_;
    std::vector<std::unique_ptr<QProcess>> processes_;
    QByteArray savedPipeWireDir_;
    QString error_;
};
