#pragma once
// Tells the phones when something new is copied on this computer: every half second the
// clipboard's change count is looked at, and a new text or image goes to every phone that may
// operate the computer. Copied files are not pushed; a phone asks for them ("clip-get").
// Changes made for a phone are marked as seen, so nobody gets their own clipboard back.

#include "Platform/Pasteboard.h"

#include <QJsonObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class Peer;

class ClipboardSync {
public:
    ClipboardSync(Pasteboard& pasteboard, int intervalMs);

    // The phones that may operate the computer, in the order of the peer table.
    std::function<std::vector<std::shared_ptr<Peer>>()> peers;
    // One control message to one phone.
    std::function<void(const QJsonObject& message, Peer& peer)> send;

    // Starts the timer (again); changes made before are never pushed.
    void start();
    // The clipboard was just written for a phone: that change is not pushed back.
    void markWritten();
    long lastChange() const { return lastChange_; }
    // One look at the clipboard (the timer's work), for tests.
    void tick();

    static constexpr qint64 kMaxImageBytes = 31'457'280;
    static constexpr qsizetype kMaxTextCharacters = 200'000;
    // Whether `text` has more user-perceived characters than `limit`.
    static bool longerThan(const QString& text, qsizetype limit);

private:
    Pasteboard& pasteboard_;
    QTimer timer_;
    long lastChange_;
};
