#pragma once
// The input probe window (tests/probe) on an X display: starts it, reads what it reports,
// and tells it to change its pointer shape.

#include "support/Wait.h"

#include <QProcess>
#include <QStringList>

class InputProbe {
public:
    // Starts the probe on `display` and waits until it has the keyboard focus.
    bool start(const QByteArray& display)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
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
    // The text of every key press so far, in order.
    QString typed()
    {
        QString text;
        for (const QString& line : lines()) {
            const QStringList parts = line.split(' ');
            if (parts.size() == 4 && parts[0] == "key" && parts[2] != "-")
                text += QString::fromUtf8(QByteArray::fromHex(parts[2].toLatin1()));
        }
        return text;
    }
    // "arrow", "ibeam" or "cross": the window's pointer shape.
    void setCursor(const QByteArray& name)
    {
        process_.write("cursor " + name + "\n");
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
