#pragma once
// Whole transfers through a pipe that another process holds the other end of, bounded in time
// and size: a peer that stalls or goes away costs at most the time-out, never the process.

#include <QByteArray>

#include <optional>

namespace pipe_transfer {
// Reads until the writer closes; nullopt on time-out, error, or more than `limit` bytes.
std::optional<QByteArray> readAll(int fd, int timeoutMs, qsizetype limit);
// Writes all of `data`; false on time-out, or when the reader went away (no SIGPIPE).
bool writeAll(int fd, const QByteArray& data, int timeoutMs);
} // namespace pipe_transfer
