// Message sequences on a phone's file channel ("file"), into a folder of their own: each input
// is a list of messages, each a kind byte (even: text, odd: binary), a 16-bit big-endian length
// and that many bytes. Every input starts from no transfer in progress.

#include "OrbelHost/FileTransfer.h"
#include "Platform/Fake/FakePasteboard.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdint>

namespace {
struct Rig {
    QTemporaryDir dir;
    FakePasteboard pasteboard;
    FileTransfer transfer;
    Rig()
        : transfer({ dir.filePath(QStringLiteral("received")), dir.filePath(QStringLiteral("temporary")) },
                   { [this](const QByteArray& image) { FileTransfer::writeClipboard(pasteboard, image); },
                     [](const QString&) {} })
    {
    }
};

Rig& rig()
{
    static Rig made;
    return made;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QCoreApplication app(*argc, *argv);
    rig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto& fuzz = rig();
    std::size_t at = 0;
    while (at + 3 <= size) {
        const bool binary = data[at] & 1;
        const std::size_t length = std::min<std::size_t>(std::size_t(data[at + 1]) << 8 | data[at + 2], size - at - 3);
        fuzz.transfer.handle(QByteArray(reinterpret_cast<const char*>(data + at + 3), qsizetype(length)), binary);
        at += 3 + length;
    }
    fuzz.transfer.cancelIncoming();
    fuzz.transfer.waitForPending();
    drainEvents(1); // the clipboard image, on this thread
    return 0;
}
