#pragma once
// FileTransfer's insides, shared by its receive and send halves. Everything here is touched
// only on the transfer's worker thread.

#include "OrbelHost/FileTransfer.h"

#include <chrono>
#include <deque>
#include <optional>

class SerialWorker;

// `size` bytes of `fd` from `offset`; nullopt on an error or when the file ends first.
std::optional<QByteArray> readAt(int fd, qint64 offset, qint64 size);

struct FileTransfer::Incoming {
    QString name;
    qint64 size = 0;
    UniqueFd file;
    QString path; // the hidden partial file (or, for the clipboard, the temporary file)
    bool toClipboard = false;
    qint64 received = 0;
};

struct FileTransfer::Outgoing {
    static std::shared_ptr<Outgoing> make(const QString& name, const QString& mime, const QString& kind,
                                          std::shared_ptr<rtc::DataChannel> channel, QByteArray data, UniqueFd file, bool push);

    QString name;
    QString mime;
    QString kind;
    QByteArray data; // the payload, unless it comes from `file`
    UniqueFd file;
    qint64 size = 0;
    bool push = false;
    std::shared_ptr<rtc::DataChannel> channel;

    // While it goes out.
    QString id;
    qint64 offset = 0;
    bool begun = false;
    uint64_t lastBuffered = 0;
    std::chrono::steady_clock::time_point lastProgress;
};

struct FileTransfer::State : std::enable_shared_from_this<FileTransfer::State> {
    Places places;
    Callbacks callbacks;
    std::weak_ptr<SerialWorker> worker;
    std::optional<Incoming> incoming;
    std::deque<std::shared_ptr<Outgoing>> outgoing;
    // A back-pressure wait is scheduled; the pump runs again when it ends.
    bool waiting = false;

    void receive(const QByteArray& data, bool binary);
    void begin(const QJsonObject& message);
    void append(const QByteArray& bytes);
    void end();
    void abortIncoming();
    // Gives a complete partial file its final name; the path it got, or nothing.
    std::optional<QString> keep(const Incoming& incoming);

    // Sends what it can of the queue, then waits for the channel or returns when all went out.
    void pump();
    // Sends the next chunk of the front transfer; false when it must wait or is done.
    enum class Step { Sent, Wait, Finished, Dropped };
    Step step(Outgoing& outgoing);
    void dropAll();
};
