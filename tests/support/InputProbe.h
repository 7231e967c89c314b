#pragma once
// The input probe window (tests/probe) on an X display: starts it, reads what it reports,
// and tells it to change its pointer shape.

#include "support/Wait.h"

#include <QProcess>

#include <optional>
#include <QStringList>

class InputProbe {
public:
    // Starts the probe on X `display` and waits until it has the keyboard focus.
    bool start(const QByteArray& display)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        return launch(env);
    }
    // The same on a Wayland compositor's `display`, whose socket is in `runtimeDir`.
    bool startOnWayland(const QString& runtimeDir, const QString& display)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        return launch(env);
    }
    bool launch(const QProcessEnvironment& env)
    {
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral(VELQUIN_INPUT_PROBE), {});
        return process_.waitForStarted(5000) && waitForLine(QStringLiteral("ready"), 10000);
    }
    ~InputProbe()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    // Every line reported so far.
    const QStringList& lines()
    {
        read();
        return lines_;
    }
    void clear()
    {
        read();
        lines_.clear();
    }
    bool waitForLine(const QString& line, int ms = 5000)
    {
        return waitFor([&] { return lines().contains(line); }, ms);
    }
    int count(const QString& line) { return int(lines().count(line)); }
    // The text of every key press and paste so far, in order.
    QString typed()
    {
        QString text;
        for (const QString& line : lines()) {
            const QStringList parts = line.split(' ');
            if (parts.size() == 4 && parts[0] == "key" && parts[2] != "-")
                text += QString::fromUtf8(QByteArray::fromHex(parts[2].toLatin1()));
            else if (parts.size() == 2 && parts[0] == "paste")
                text += QString::fromUtf8(QByteArray::fromHex(parts[1].toLatin1()));
        }
        return text;
    }
    // Puts `text` on the clipboard from the probe's window.
    void copy(const QString& text) { command("copy " + text.toUtf8().toHex()); }
    // The probe's view of the clipboard's text; nullopt when it does not answer.
    std::optional<QString> clipboardText()
    {
        clear();
        command("read-clipboard");
        std::optional<QString> found;
        waitFor([&] {
            for (const QString& line : lines())
                if (line.startsWith(QStringLiteral("clipboard")))
                    found = QString::fromUtf8(QByteArray::fromHex(line.mid(10).toLatin1()));
            return found.has_value();
        });
        return found;
    }
    // "arrow", "ibeam" or "cross": the window's pointer shape.
    void setCursor(const QByteArray& name) { command("cursor " + name); }
    void command(const QByteArray& line)
    {
        process_.write(line + "\n");
        process_.waitForBytesWritten(1000);
    }

private:
    void read()
    {
        buffer_ += process_.readAllStandardOutput();
        while (buffer_.contains('\n')) {
            const auto end = buffer_.indexOf('\n');
            lines_ << QString::fromUtf8(buffer_.left(end));
            buffer_.remove(0, end + 1);
        }
    }

    QProcess process_;
    QByteArray buffer_;
    QStringList lines_;
};
