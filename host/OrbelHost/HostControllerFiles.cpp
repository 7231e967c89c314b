// HostController: what the phones' file channels deliver, and the clipboard sync's wiring.

#include "OrbelHost/HostController.h"

#include "OrbelHost/HostL10n.h"
#include "OrbelHost/Log.h"

#include <QFileInfo>

std::unique_ptr<FileTransfer> HostController::makeFileTransfer()
{
    QPointer<HostController> self(this);
    FileTransfer::Callbacks callbacks;
    callbacks.onClipboardImage = [self](const QByteArray& bytes) {
        if (self)
            self->receivedClipboardImage(bytes);
    };
    callbacks.onFileReceived = [self](const QString& path) {
        if (self)
            self->notifyReceived(path);
    };
    return std::make_unique<FileTransfer>(env_.files, std::move(callbacks));
}

void HostController::receivedClipboardImage(const QByteArray& bytes)
{
    const bool ok = FileTransfer::writeClipboard(*env_.pasteboard, bytes);
    qCInfo(clipLog).noquote() << QStringLiteral("剪貼簿：收到手機的圖片 %1 bytes，放進剪貼簿 %2")
                                     .arg(bytes.size())
                                     .arg(ok ? QStringLiteral("成功") : QStringLiteral("失敗"));
    if (ok)
        clipboardSync_->markWritten();
}

void HostController::notifyReceived(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    QPointer<HostController> self(this);
    const auto reveal = [self, path] {
        if (self)
            self->env_.workspace->revealFiles({ path });
    };
    env_.notifier->post(HL(QStringLiteral("Velquin 遠端桌面：收到手機傳來的檔案")),
                        HLFormat(QStringLiteral("%@（存在 家目錄／Velquin 收到的檔案）"), { name }), reveal,
                        HL(QStringLiteral("在檔案夾中顯示")));
    reveal();
}
