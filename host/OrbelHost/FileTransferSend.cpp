// FileTransfer: sending files, screenshots and clipboard images to the phone.

#include "OrbelHost/FileTransferState.h"

#include "OrbelHost/JsonMessage.h"
#include "OrbelHost/Log.h"
#include "Support/SerialWorker.h"

#include <QUuid>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {
using Clock = std::chrono::steady_clock;

bool sendJson(rtc::DataChannel& channel, const QJsonObject& message)
{
    const auto text = serializeJson(message);
    return text && channel.send(*text, false);
}
} // namespace

std::optional<QByteArray> readAt(int fd, qint64 offset, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, bytes.data() + done, size_t(size - done), offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return std::nullopt; // an error, or the file shrank under us
        done += got;
    }
    return bytes;
}

std::shared_ptr<FileTransfer::Outgoing> FileTransfer::Outgoing::make(const QString& name, const QString& mime, const QString& kind,
                                                                     std::shared_ptr<rtc::DataChannel> channel, QByteArray data,
                                                                     UniqueFd file, bool push)
{
    auto outgoing = std::make_shared<Outgoing>();
    outgoing->name = name;
    outgoing->mime = mime;
    outgoing->kind = kind;
    outgoing->channel = std::move(channel);
    outgoing->size = data.size();
    outgoing->data = std::move(data);
    outgoing->file = std::move(file);
    outgoing->push = push;
    return outgoing;
}

void FileTransfer::send(QByteArray data, const QString& name, const QString& mime, const QString& kind,
                        std::shared_ptr<rtc::DataChannel> channel)
{
    enqueue(Outgoing::make(name, mime, kind, std::move(channel), std::move(data), {}, false));
}

void FileTransfer::push(QByteArray data, const QString& name, const QString& mime, const QString& kind,
                        std::shared_ptr<rtc::DataChannel> channel)
{
    enqueue(Outgoing::make(name, mime, kind, std::move(channel), std::move(data), {}, true));
}

void FileTransfer::sendFile(UniqueFd file, const QString& name, const QString& mime, const QString& kind,
                            std::shared_ptr<rtc::DataChannel> channel)
{
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return;
    auto outgoing = Outgoing::make(name, mime, kind, std::move(channel), {}, std::move(file), false);
    outgoing->size = info.st_size;
    enqueue(std::move(outgoing));
}

void FileTransfer::enqueue(std::shared_ptr<Outgoing> outgoing)
{
    worker_->post([state = state_, outgoing = std::move(outgoing)] {
        if (outgoing->push) {
            // Only the newest clipboard image is worth sending; an older one not yet started goes.
            for (auto& queued : state->outgoing)
                if (queued->push && !queued->begun) {
                    queued = outgoing;
                    return;
                }
        }
        state->outgoing.push_back(outgoing);
        if (!state->waiting)
            state->pump();
    });
}

void FileTransfer::State::pump()
{
    while (!outgoing.empty()) {
        auto front = outgoing.front();
        Step result = step(*front);
        while (result == Step::Sent)
            result = step(*front);
        if (result == Step::Wait) {
            auto self = worker.lock();
            if (!self)
                return;
            waiting = true;
            self->postAfter(std::chrono::milliseconds(kBackPressureWaitMs), [state = shared_from_this()] {
                state->waiting = false;
                state->pump();
            });
            return;
        }
        // Finished or dropped; a push replaced meanwhile is no longer at the front.
        if (!outgoing.empty() && outgoing.front() == front)
            outgoing.pop_front();
    }
}

FileTransfer::State::Step FileTransfer::State::step(Outgoing& out)
{
    auto& channel = *out.channel;
    if (!out.begun) {
        if (out.size > kMaxSendSize) {
            qCWarning(fileLog).noquote() << "not sending" << out.name << ":" << out.size << "bytes is too large";
            return Step::Dropped;
        }
        out.id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        out.begun = true;
        out.lastProgress = Clock::now();
        out.lastBuffered = channel.bufferedAmount();
        if (!sendJson(channel, { { QStringLiteral("t"), QStringLiteral("begin") },
                                 { QStringLiteral("id"), out.id },
                                 { QStringLiteral("name"), out.name },
                                 { QStringLiteral("size"), double(out.size) },
                                 { QStringLiteral("mime"), out.mime },
                                 { QStringLiteral("kind"), out.kind } }))
            return Step::Dropped;
    }
    if (out.offset >= out.size) {
        sendJson(channel, { { QStringLiteral("t"), QStringLiteral("end") }, { QStringLiteral("id"), out.id } });
        return Step::Finished;
    }
    if (channel.state() != rtc::DataChannelState::Open)
        return Step::Dropped;
    const uint64_t buffered = channel.bufferedAmount();
    const auto now = Clock::now();
    if (buffered < out.lastBuffered)
        out.lastProgress = now;
    out.lastBuffered = buffered;
    if (buffered > kMaxBuffered) {
        if (now - out.lastProgress > std::chrono::milliseconds(kStallGiveUpMs)) {
            qCWarning(fileLog).noquote() << "the phone takes nothing more; dropping" << out.name;
            return Step::Dropped;
        }
        return Step::Wait;
    }
    const qint64 length = std::min(kChunkSize, out.size - out.offset);
    std::optional<QByteArray> chunk;
    if (out.file)
        chunk = readAt(out.file.get(), out.offset, length);
    else
        chunk = out.data.mid(out.offset, length);
    // Without an "end" the phone discards what it got.
    if (!chunk || !channel.send(*chunk, true)) {
        qCWarning(fileLog).noquote() << "sending" << out.name << "stopped at" << out.offset << "bytes";
        return Step::Dropped;
    }
    out.offset += length;
    out.lastProgress = now;
    return Step::Sent;
}

void FileTransfer::State::dropAll()
{
    outgoing.clear();
}
