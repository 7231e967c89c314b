// FileTransfer: the worker, and receiving files and clipboard images from the phone.

#include "OrbelHost/FileTransferState.h"

#include "OrbelHost/JsonMessage.h"
#include "OrbelHost/Log.h"
#include "Support/SerialWorker.h"
#include "Support/ThreadHop.h"

#include <QDir>
#include <QFile>
#include <QJsonValue>
#include <QStandardPaths>
#include <QUuid>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <future>

namespace {
// The size field as the phone sent it, when it is a whole number; else 0.
qint64 announcedSize(const QJsonValue& value)
{
    if (!value.isDouble())
        return 0;
    const double size = value.toDouble();
    if (!std::isfinite(size) || size != std::floor(size) || std::fabs(size) >= 9.2e18)
        return 0;
    return qint64(size);
}

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

// A new file that nothing else can be: no link followed, nothing replaced.
UniqueFd createExclusive(const QString& path, mode_t mode)
{
    return UniqueFd(::open(nativePath(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
}

void removeFile(const QString& path)
{
    ::unlink(nativePath(path).constData());
}

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}
} // namespace

FileTransfer::Places FileTransfer::Places::standard()
{
    return { QDir::home().filePath(QStringLiteral("Velquin 收到的檔案")), QDir::tempPath() };
}

FileTransfer::FileTransfer(Places places, Callbacks callbacks)
    : state_(std::make_shared<State>())
    , worker_(SerialWorker::make("orbel.file"))
{
    state_->places = std::move(places);
    state_->callbacks = std::move(callbacks);
    state_->worker = worker_;
}

FileTransfer::~FileTransfer()
{
    close();
}

void FileTransfer::handle(const QByteArray& data, bool binary)
{
    worker_->post([state = state_, data, binary] { state->receive(data, binary); });
}

void FileTransfer::cancelIncoming()
{
    worker_->post([state = state_] { state->abortIncoming(); });
}

void FileTransfer::close()
{
    worker_->post([state = state_] {
        state->abortIncoming();
        state->dropAll();
    });
}

void FileTransfer::waitForPending()
{
    std::promise<void> done;
    worker_->post([&done] { done.set_value(); });
    done.get_future().wait();
}

void FileTransfer::State::receive(const QByteArray& data, bool binary)
{
    if (binary) {
        append(data);
        return;
    }
    const auto message = parseJsonObject(data);
    if (!message)
        return;
    const auto type = message->value(QStringLiteral("t"));
    if (!type.isString())
        return;
    if (type.toString() == QStringLiteral("begin"))
        begin(*message);
    else if (type.toString() == QStringLiteral("end"))
        end();
}

void FileTransfer::State::begin(const QJsonObject& message)
{
    abortIncoming();
    Incoming next;
    next.size = announcedSize(message.value(QStringLiteral("size")));
    next.toClipboard = message.value(QStringLiteral("kind")).toString() == QStringLiteral("clipboard");
    if (next.size > (next.toClipboard ? kMaxClipboardSize : kMaxFileSize))
        return;
    const auto name = message.value(QStringLiteral("name"));
    next.name = sanitizedName(name.isString() ? name.toString() : QString());

    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    if (next.toClipboard) {
        next.path = QDir(places.temporaryFolder).filePath(id);
        next.file = createExclusive(next.path, 0600);
    } else {
        QDir().mkpath(places.receiveFolder);
        // Hidden until it is complete; then it gets its real name.
        next.path = QDir(places.receiveFolder).filePath(QStringLiteral(".velquin-%1.part").arg(id));
        next.file = createExclusive(next.path, 0644);
    }
    if (!next.file) {
        qCWarning(fileLog).noquote() << "cannot receive" << next.name << ":" << std::strerror(errno);
        return;
    }
    incoming = std::move(next);
}

void FileTransfer::State::append(const QByteArray& bytes)
{
    if (!incoming)
        return;
    incoming->received += bytes.size();
    if (incoming->received > incoming->size) {
        abortIncoming();
        return;
    }
    if (!writeAll(incoming->file.get(), bytes.constData(), bytes.size())) {
        // Disk full or an I/O error: the phone is not told, but nothing half-written stays.
        qCWarning(fileLog).noquote() << "receiving" << incoming->name << "failed:" << std::strerror(errno);
        abortIncoming();
    }
}

void FileTransfer::State::end()
{
    if (!incoming)
        return;
    Incoming done = std::move(*incoming);
    incoming.reset();
    if (done.received != done.size) {
        done.file.reset();
        removeFile(done.path);
        return;
    }
    if (done.toClipboard) {
        auto bytes = readAt(done.file.get(), 0, done.size);
        done.file.reset();
        removeFile(done.path);
        if (bytes && callbacks.onClipboardImage)
            postToMain([callback = callbacks.onClipboardImage, bytes = std::move(*bytes)] { callback(bytes); });
        return;
    }
    // A write error can surface only when the file is closed.
    const bool synced = ::fsync(done.file.get()) == 0 || errno == EINVAL;
    if (!done.file.reset() || !synced) {
        qCWarning(fileLog).noquote() << "receiving" << done.name << "failed:" << std::strerror(errno);
        removeFile(done.path);
        return;
    }
    const auto path = keep(done);
    if (!path) {
        removeFile(done.path);
        return;
    }
    qCInfo(fileLog).noquote() << "received" << *path << done.size << "bytes";
    if (callbacks.onFileReceived)
        postToMain([callback = callbacks.onFileReceived, path = *path] { callback(path); });
}

void FileTransfer::State::abortIncoming()
{
    if (!incoming)
        return;
    incoming->file.reset();
    removeFile(incoming->path);
    incoming.reset();
}
