#include "OrbelHost/ClipboardSync.h"

#include "OrbelHost/FileTransfer.h"
#include "OrbelHost/HostL10n.h"
#include "OrbelHost/Log.h"
#include "OrbelHost/Peer.h"

#include <QTextBoundaryFinder>

ClipboardSync::ClipboardSync(Pasteboard& pasteboard, int intervalMs)
    : pasteboard_(pasteboard)
    , lastChange_(pasteboard.changeCount())
{
    timer_.setInterval(intervalMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
}

void ClipboardSync::start()
{
    timer_.start();
}

void ClipboardSync::markWritten()
{
    lastChange_ = pasteboard_.changeCount();
}

bool ClipboardSync::longerThan(const QString& text, qsizetype limit)
{
    // A character is at least one UTF-16 unit, so short texts need no counting.
    if (text.size() <= limit)
        return false;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() > 0)
        if (++count > limit)
            return true;
    return false;
}

void ClipboardSync::tick()
{
    const long count = pasteboard_.changeCount();
    if (count == lastChange_)
        return;
    // Consumed whatever follows: a change nobody could be told of is not told later.
    lastChange_ = count;
    const auto targets = peers ? peers() : std::vector<std::shared_ptr<Peer>> {};
    qCInfo(clipLog).noquote() << QStringLiteral("剪貼簿：電腦剪貼簿變了，手機 %1 支").arg(targets.size());
    if (targets.empty())
        return;

    const auto content = FileTransfer::readClipboard(pasteboard_);
    if (const auto* image = std::get_if<FileTransfer::Image>(&content)) {
        if (image->png.size() > kMaxImageBytes)
            return;
        for (const auto& peer : targets)
            if (peer->fileChannel && peer->files)
                peer->files->push(image->png, HL(QStringLiteral("剪貼簿圖片.png")), QStringLiteral("image/png"),
                                  QStringLiteral("clipboard"), peer->fileChannel);
        return;
    }
    const auto* text = std::get_if<FileTransfer::Text>(&content);
    if (!text || longerThan(text->text, kMaxTextCharacters))
        return;
    const QJsonObject message { { QStringLiteral("t"), QStringLiteral("clip") },
                                { QStringLiteral("text"), text->text },
                                { QStringLiteral("auto"), true } };
    // A text too long for one control message is left out (and logged) by `send`; the phone
    // can still ask for it.
    for (const auto& peer : targets)
        if (peer->channel && peer->channel->state() == rtc::DataChannelState::Open && send)
            send(message, *peer);
}
