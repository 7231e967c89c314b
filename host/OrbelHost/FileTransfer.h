#pragma once
// One phone's file channel: files, screenshots and clipboard images both ways, on a worker
// thread of the phone's own ("orbel.file").
//
// Receiving streams every chunk to a hidden partial file; the file gets its final, unique
// name only once it is complete, so a half-received file never shows up, and nothing already
// there is ever replaced or followed through a link. Sending cuts 16 KiB chunks and waits
// (without holding the worker) while the channel has more than about 1 MB queued, so a slow
// phone costs neither memory nor the receive side's turn.
//
// The same class holds the desktop side of the clipboard and the screenshot (static members).

#include "Platform/Pasteboard.h"
#include "Platform/ScreenSource.h"
#include "Support/UniqueFd.h"
#include "WebRTC/WebRTC.h"

#include <QByteArray>
#include <QImage>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include <QPoint>

class SerialWorker;

class FileTransfer {
public:
    struct Places {
        QString receiveFolder;   // received files end up here
        QString temporaryFolder; // clipboard transfers pass through here
        // "Velquin 收到的檔案" in the home folder, and the system's temporary folder.
        static Places standard();
    };
    struct Callbacks {
        // The complete bytes of a clipboard transfer, on the main thread.
        std::function<void(const QByteArray& bytes)> onClipboardImage;
        // A file was received and stored at `path`, on the main thread.
        std::function<void(const QString& path)> onFileReceived;
    };

    static constexpr qint64 kMaxFileSize = 209'715'200;
    static constexpr qint64 kMaxClipboardSize = 31'457'280;
    static constexpr qint64 kMaxSendSize = 209'715'200;
    static constexpr qint64 kChunkSize = 16'384;
    static constexpr uint64_t kMaxBuffered = 1'000'000;
    static constexpr int kBackPressureWaitMs = 5;
    // A channel that takes nothing for this long is taken for dead and the transfer dropped.
    static constexpr int kStallGiveUpMs = 60'000;
    static constexpr int kMaxNameCharacters = 200;
    // Leaves room for " N" in a file system's 255-byte names.
    static constexpr int kMaxNameBytes = 240;

    FileTransfer(Places places, Callbacks callbacks);
    // A transfer still being received has its partial file deleted; queued sends are dropped.
    ~FileTransfer();
    FileTransfer(const FileTransfer&) = delete;
    FileTransfer& operator=(const FileTransfer&) = delete;

    // One message from the file channel, from any thread; handled in turn on the worker.
    void handle(const QByteArray& data, bool binary);
    // Sends one transfer of `data` (at most kMaxSendSize bytes, or nothing is sent).
    void send(QByteArray data, const QString& name, const QString& mime, const QString& kind,
              std::shared_ptr<rtc::DataChannel> channel);
    // A clipboard push: replaces a push of this phone that has not started yet.
    void push(QByteArray data, const QString& name, const QString& mime, const QString& kind,
              std::shared_ptr<rtc::DataChannel> channel);
    // Sends the regular file open at `file`, read piece by piece as it goes out.
    void sendFile(UniqueFd file, const QString& name, const QString& mime, const QString& kind,
                  std::shared_ptr<rtc::DataChannel> channel);
    // The channel went away: the transfer being received is dropped with its partial file.
    void cancelIncoming();
    // The phone went away: as cancelIncoming, and every queued send is dropped too.
    void close();
    // Blocks until every job handed to the worker so far has run (tests, and shutdown).
    void waitForPending();

    // The receive side's name for what the phone calls `name`.
    static QString sanitizedName(const QString& name);
    // The n-th choice for `name` in the receive folder: the name itself for 1, "B n.E" after.
    static QString candidateName(const QString& name, int n);

    // What the desktop clipboard holds, first match wins in this order.
    struct Files { QStringList paths; };
    struct Image { QByteArray png; };
    struct Text { QString text; };
    struct FoldersOnly {};
    struct Empty {};
    using ClipboardContent = std::variant<Files, Image, Text, FoldersOnly, Empty>;
    static ClipboardContent readClipboard(Pasteboard& pasteboard);
    // Puts a phone's image on the clipboard; false (clipboard untouched) when it cannot be decoded.
    static bool writeClipboard(Pasteboard& pasteboard, const QByteArray& image);
    // Images larger than this are not decoded.
    static constexpr qint64 kMaxImagePixels = 100'000'000;
    // Decodes an image, refusing more than kMaxImagePixels before decoding it.
    static std::optional<QImage> decodeImage(const QByteArray& bytes);

    // Where the pointer is drawn into a screenshot, in the display's pixels.
    struct Pointer {
        QImage image;
        QPoint topLeft;
    };
    // A PNG of the whole main display with the pointer on it; blocks, so run it off the main thread.
    static std::optional<QByteArray> screenshotPNG(ScreenSource& source, const std::optional<Pointer>& pointer);

private:
    struct Incoming;
    struct Outgoing;
    struct State;
    void enqueue(std::shared_ptr<Outgoing> outgoing);
    std::shared_ptr<State> state_;
    // Shared with the jobs that wait out back-pressure; the worker stops once this one is gone.
    std::shared_ptr<SerialWorker> worker_;
};
