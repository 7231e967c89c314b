#pragma once
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

// Runs the event loop until `done` holds or `timeoutMs` passes; returns whether it held.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// Runs the event loop for `ms` milliseconds.
inline void pump(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

// Runs the event loop until everything queued on this thread before the call, and what that
// queued in turn (`rounds` deep), has run: a sentinel, not a guess at how long work takes.
inline void drainEvents(int rounds = 3)
{
    for (int i = 0; i < rounds; ++i) {
        bool ran = false;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [&ran] { ran = true; }, Qt::QueuedConnection);
        waitFor([&] { return ran; });
    }
}
