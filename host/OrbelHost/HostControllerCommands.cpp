// HostController: the commands a phone sends on its control channel.

#include "OrbelHost/HostController.h"

#include "OrbelHost/HostL10n.h"
#include "OrbelHost/JsonMessage.h"
#include "OrbelHost/Log.h"
#include "Support/SerialWorker.h"
#include "Support/ThreadHop.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>

#include <fcntl.h>
#include <sys/stat.h>

namespace {
// evdev codes of the host's own shortcuts.
constexpr uint32_t kPrintKey = 99;
constexpr uint32_t kVKey = 47;

QJsonObject toast(const QString& text)
{
    return { { QStringLiteral("t"), QStringLiteral("toast") }, { QStringLiteral("text"), text } };
}
} // namespace

void HostController::handleCommand(const QJsonObject& message, const std::shared_ptr<Peer>& peer)
{
    const auto type = message.value(QStringLiteral("t"));
    if (!type.isString())
        return;
    const QString t = type.toString();
    if (t == QStringLiteral("screenshot")) {
        takeScreenshot(peer);
    } else if (t == QStringLiteral("screenshot-ui")) {
        // The desktop's screenshot tool answers the Print key.
        input_->tap(kPrintKey, 0);
    } else if (t == QStringLiteral("ime-next")) {
        inputSources_->selectNext();
    } else if (t == QStringLiteral("ime-list")) {
        send(inputSources_->listMessage(), *peer);
    } else if (t == QStringLiteral("ime-select")) {
        const auto id = message.value(QStringLiteral("id"));
        if (id.isString())
            inputSources_->select(id.toString());
    } else if (t == QStringLiteral("quality")) {
        if (!peer->sender)
            return;
        const auto level = message.value(QStringLiteral("level"));
        const bool low = level.isString() && level.toString() == QStringLiteral("low");
        applyQuality(low, *peer->sender);
        send(toast(low ? QStringLiteral("已切換省流量模式") : QStringLiteral("已恢復一般畫質")), *peer);
    } else if (t == QStringLiteral("clip-get")) {
        sendClipboard(*peer);
    } else if (t == QStringLiteral("clip-set")) {
        const auto text = message.value(QStringLiteral("text"));
        if (!text.isString())
            return;
        env_.pasteboard->setText(text.toString());
        clipboardSync_->markWritten();
        qCInfo(clipLog).noquote() << QStringLiteral("剪貼簿：收到手機的文字 %1 字").arg(text.toString().size());
        // The text is on the clipboard before the paste asks for it.
        if (message.value(QStringLiteral("paste")) == QJsonValue(true))
            input_->tap(kVKey, EventPoster::Control);
    }
}

void HostController::takeScreenshot(const std::shared_ptr<Peer>& peer)
{
    // Where the pointer is now; it is drawn into the picture, which the video never shows.
    std::optional<FileTransfer::Pointer> pointer;
    CursorSource& cursor = cursor_->source();
    const auto position = cursor.position();
    const auto shape = cursor.shape();
    if (position && shape)
        pointer = FileTransfer::Pointer { shape->image, *position - shape->hotspot - cursor.mainDisplayBounds().topLeft() };

    QPointer<HostController> self(this);
    // The peer is held until the file or the toast has gone, even if the phone left meanwhile.
    SerialWorker::named("orbel.shot").post([self, peer, pointer, makeSource = env_.screenshotSource] {
        auto source = makeSource ? makeSource() : nullptr;
        auto png = source ? FileTransfer::screenshotPNG(*source, pointer) : std::nullopt;
        const QString name = HLFormat(QStringLiteral("螢幕截圖 %@.png"),
                                      { QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss")) });
        postToMain([self, peer, png = std::move(png), name] {
            if (png && peer->fileChannel && peer->files)
                peer->files->send(*png, name, QStringLiteral("image/png"), QStringLiteral("screenshot"), peer->fileChannel);
            else if (self)
                self->send(toast(QStringLiteral("截圖失敗")), *peer);
        });
    });
}

void HostController::sendClipboard(Peer& peer)
{
    if (!peer.fileChannel || !peer.files)
        return;
    const auto content = FileTransfer::readClipboard(*env_.pasteboard);
    if (const auto* files = std::get_if<FileTransfer::Files>(&content)) {
        int sent = 0;
        const QMimeDatabase types;
        for (const QString& path : files->paths) {
            // Opened here so an unreadable file is not counted; read piece by piece on the
            // phone's file worker.
            UniqueFd file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
            struct stat info {};
            if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > FileTransfer::kMaxSendSize)
                continue;
            const auto type = types.mimeTypeForFile(path, QMimeDatabase::MatchExtension);
            const QString mime = type.isDefault() ? QStringLiteral("application/octet-stream") : type.name();
            peer.files->sendFile(std::move(file), QFileInfo(path).fileName(), mime, QStringLiteral("clipboard"), peer.fileChannel);
            ++sent;
        }
        send(toast(sent == 0 ? QStringLiteral("檔案太大（上限 200MB）")
                             : QStringLiteral("傳送電腦上複製的 %1 個檔案…").arg(sent)),
             peer);
    } else if (const auto* image = std::get_if<FileTransfer::Image>(&content)) {
        peer.files->send(image->png, HL(QStringLiteral("剪貼簿圖片.png")), QStringLiteral("image/png"),
                         QStringLiteral("clipboard"), peer.fileChannel);
    } else if (const auto* text = std::get_if<FileTransfer::Text>(&content)) {
        const QJsonObject reply { { QStringLiteral("t"), QStringLiteral("clip") }, { QStringLiteral("text"), text->text } };
        // Too long for one control message: it goes as a text file instead of not at all.
        const auto bytes = serializeJson(reply);
        if (bytes && peer.channel && std::size_t(bytes->size()) > peer.channel->maxMessageSize())
            peer.files->send(text->text.toUtf8(), HL(QStringLiteral("剪貼簿文字.txt")),
                             QStringLiteral("text/plain; charset=utf-8"), QStringLiteral("clipboard"), peer.fileChannel);
        else
            send(reply, peer);
    } else if (std::holds_alternative<FileTransfer::FoldersOnly>(content)) {
        send(toast(QStringLiteral("資料夾不能直接下載，請先壓縮成 zip")), peer);
    } else {
        send(toast(QStringLiteral("電腦的剪貼簿是空的")), peer);
    }
}
