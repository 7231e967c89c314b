#include "Support/PipeTransfer.h"

#include <QElapsedTimer>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {
// Waits until `fd` is ready for `events`; false once `timeoutMs` since `started` passed.
bool ready(int fd, short events, const QElapsedTimer& started, int timeoutMs)
{
    for (;;) {
        const qint64 left = timeoutMs - started.elapsed();
        if (left <= 0)
            return false;
        pollfd entry { fd, events, 0 };
        const int n = ::poll(&entry, 1, int(left));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

// Holds SIGPIPE back on this thread while it lives, and drops one raised meanwhile: a write to
// a pipe whose reader left then fails with EPIPE instead of ending the process.
class HeldSigPipe {
public:
    HeldSigPipe()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~HeldSigPipe()
    {
        if (!wasPending_) {
            const timespec none {};
            while (sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    HeldSigPipe(const HeldSigPipe&) = delete;
    HeldSigPipe& operator=(const HeldSigPipe&) = delete;

private:
    sigset_t pipe_ {};
    sigset_t old_ {};
    bool wasPending_ = false;
};

// A blocking write of more than the pipe holds would wait for the reader however long it
// takes: every call here returns at once and waits in poll(), which has the time-out.
void nonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}
} // namespace

std::optional<QByteArray> pipe_transfer::readAll(int fd, int timeoutMs, qsizetype limit)
{
    nonBlocking(fd);
    QByteArray data;
    QElapsedTimer started;
    started.start();
    char chunk[65536];
    for (;;) {
        if (!ready(fd, POLLIN, started, timeoutMs))
            return std::nullopt;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            return data;
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return std::nullopt;
        if (n > 0)
            data.append(chunk, n);
        if (data.size() > limit)
            return std::nullopt;
    }
}

bool pipe_transfer::writeAll(int fd, const QByteArray& data, int timeoutMs)
{
    const HeldSigPipe held;
    nonBlocking(fd);
    QElapsedTimer started;
    started.start();
    qsizetype sent = 0;
    while (sent < data.size()) {
        if (!ready(fd, POLLOUT, started, timeoutMs))
            return false;
        const ssize_t n = ::write(fd, data.constData() + sent, size_t(data.size() - sent));
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        sent += n > 0 ? n : 0;
    }
    return true;
}
