#pragma once
// The clipboard of GNOME's Wayland session, through mutter's remote-desktop session: a client
// of Wayland sees the clipboard only while it has the keyboard focus, this API always. mutter
// says when the owner changes (with the types it offers), hands over a pipe to read a type
// from, and asks for a pipe when someone pastes what this process offers.
//
// Main thread only: mutter's signals arrive on the main loop. Calls wait for mutter (a few
// milliseconds); reading the owner's data waits at most kReadTimeoutMs.

#include "Platform/Linux/MutterRemoteDesktop.h"
#include "Platform/Pasteboard.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// What the clipboard asks of mutter's session: its calls, with the pipes that come with them.
// The session's own one is made from a MutterRemoteDesktop; tests give a stand-in.
class MutterSelection {
public:
    virtual ~MutterSelection() = default;
    // Whether a session is open to ask.
    virtual bool isOpen() = 0;
    // SetSelection: this process offers `types`.
    virtual bool offer(const QList<QByteArray>& types) = 0;
    // SelectionRead and what the owner sends through its pipe; nullopt when mutter refuses or
    // the owner does not send it whole within `timeoutMs`.
    virtual std::optional<QByteArray> read(const QByteArray& type, int timeoutMs, qsizetype limit) = 0;
    // SelectionWrite of `data` (none: refused) and SelectionWriteDone; whether it was written.
    virtual bool write(uint32_t serial, const QByteArray* data, int timeoutMs) = 0;
};

class MutterClipboard : public Pasteboard {
public:
    explicit MutterClipboard(std::shared_ptr<MutterRemoteDesktop> session);
    // On `selection`, whose signals the caller passes to ownerChanged() and transfer().
    explicit MutterClipboard(std::unique_ptr<MutterSelection> selection);
    ~MutterClipboard() override;
    MutterClipboard(const MutterClipboard&) = delete;
    MutterClipboard& operator=(const MutterClipboard&) = delete;

    long changeCount() override { return changes_; }
    QStringList filePaths() override;
    std::optional<QByteArray> png() override;
    std::optional<QByteArray> otherImage() override;
    std::optional<QString> text() override;
    bool setText(const QString& text) override;
    bool setImage(const QImage& image) override;

    // Pastes `text` where the keyboard focus is, unseen by changeCount(): offers it, calls
    // `pressPaste`, and once the focused application has taken it (or kPasteWaitMs passed)
    // calls `done` and soon after puts back what the clipboard held. False (and `done` never
    // called) when there is no session, or when the clipboard holds text that cannot be read:
    // what cannot be put back is not borrowed.
    bool paste(const QString& text, const std::function<void()>& pressPaste, std::function<void()> done);

    // mutter's signals: SelectionOwnerChanged and SelectionTransfer.
    void ownerChanged(bool ours, QList<QByteArray> types);
    void transfer(const QByteArray& type, uint32_t serial);

    static constexpr int kReadTimeoutMs = 2000;
    static constexpr int kPasteWaitMs = 1000;
    // What the clipboard held comes back this long after the last paste was taken.
    static constexpr int kRestoreAfterMs = 300;
    // The most kept from the clipboard while a paste borrows it.
    static constexpr qsizetype kMaxSavedBytes = 64 * 1024 * 1024;

private:
    using Offer = std::vector<std::pair<QByteArray, QByteArray>>; // type → data

    bool offer(Offer offer, bool seen);
    std::optional<QByteArray> read(const QByteArray& type);
    // The first of `types` the clipboard offers.
    std::optional<QByteArray> readFirst(const QList<QByteArray>& types);
    QList<QByteArray> offeredTypes() const;
    void pasteTaken();
    void restore();

    std::unique_ptr<MutterSelection> selection_;
    long changes_ = 0;
    QList<QByteArray> types_; // what the owner offers
    // The owner's text, once read: mutter refuses a read that comes before it has finished the
    // one before, which it does only after the reader saw the data end.
    std::optional<QByteArray> ownersText_;
    bool ownedHere_ = false;
    Offer ours_;               // what this process offers, while it owns the clipboard
    int unseenOwnChanges_ = 0; // own changes whose signal is still to come

    // While pasting: what the clipboard held before, and who waits for the paste.
    std::optional<Offer> saved_;
    std::function<void()> pasteDone_;
    bool afterOwnRead_ = false; // transfers asked for now are the paste's
    unsigned fence_ = 0;        // an idle source of the main loop, while pending
    QTimer pasteWait_;
    QTimer restoreTimer_;
    QObject context_;
};
