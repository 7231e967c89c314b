#pragma once
// Collects the lines written through Qt's message handler while it lives (from any thread),
// and passes them on to the handler that was there before.

#include <QStringList>
#include <QtGlobal>

#include <mutex>

class LogCapture {
public:
    LogCapture()
    {
        instance() = this;
        previous_ = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous_);
        instance() = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const
    {
        std::lock_guard l(mutex_);
        return lines_;
    }
    bool contains(const QString& line) const { return lines().contains(line); }
    // Lines that begin with `prefix`.
    QStringList startingWith(const QString& prefix) const
    {
        QStringList found;
        for (const QString& line : lines())
            if (line.startsWith(prefix))
                found << line;
        return found;
    }

private:
    static LogCapture*& instance()
    {
        static LogCapture* current = nullptr;
        return current;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (LogCapture* self = instance()) {
            {
                std::lock_guard l(self->mutex_);
                self->lines_ << message;
            }
            if (self->previous_)
                self->previous_(type, context, message);
        }
    }

    mutable std::mutex mutex_;
    QStringList lines_;
    QtMessageHandler previous_ = nullptr;
};
