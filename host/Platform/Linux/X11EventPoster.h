#pragma once
// Desktop input through the X server's XTEST extension. Keys are evdev codes, posted as
// keycode = evdev + 8 (how the X server numbers evdev keyboards). Text and keys the keyboard
// map lacks (media keys on a bare server) are typed through spare keycodes: unused keycodes
// are mapped to the wanted keysyms, pressed, and emptied again once typing has stopped.
//
// Clients read the keyboard map again when they handle its change, or when they next translate
// a key, so a spare keycode must not be mapped to something else until the client has handled
// every earlier press of it: a press read after the change types the new keysym. After each
// batch of typing the poster pings the focused client (X11FocusPing); a spare pressed in a
// batch is mapped anew only once the client has answered a ping sent after that batch. A batch
// maps at most half the spares anew, so the client reads one batch while the next is typed.
// For a client that does not answer pings, a pause per remapped keycode stands in for the
// answer. Posts keep their order; only text ever waits. Characters already on a spare cost no
// wait.

#include "Platform/EventPoster.h"
#include "Platform/Linux/X11FocusPing.h"
#include "Platform/Linux/X11Support.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>

#include <xcb/xcb.h>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

class X11EventPoster : public EventPoster {
public:
    // `display` names the X display; empty means $DISPLAY.
    explicit X11EventPoster(QByteArray display = {});
    ~X11EventPoster() override;
    X11EventPoster(const X11EventPoster&) = delete;
    X11EventPoster& operator=(const X11EventPoster&) = delete;

    // Whether the server is reachable and has XTEST.
    bool usable() const { return connection_ && hasTest_; }

    QRect mainDisplayBounds() override;
    QPoint pointerPosition() override;
    void moveTo(QPoint position) override;
    void button(Button button, bool down) override;
    void scroll(int dx, int dy) override;
    void key(uint32_t evdevCode, bool down) override;
    void typeText(const QString& text) override;
    void mediaKey(MediaKey key, bool down) override;
    unsigned heldModifiers() override;
    int doubleClickIntervalMs() override;
    std::optional<bool> keyRepeat() override;
    void setKeyRepeat(bool on) override;

    // For a focused client that does not answer pings: the pause per keycode that a batch of
    // typing mapped anew, after which the batch counts as read.
    static constexpr int kRemapPauseMs = 8;
    // A client that does not answer a ping in this long counts as having read what it was sent.
    static constexpr int kPingAnswerMs = 2000;
    // Spare keycodes are emptied this long after the last typing.
    static constexpr int kRestoreAfterMs = 500;

private:
    struct Spare {
        xcb_keycode_t keycode;
        uint32_t keysym = 0; // 0: empty
        uint64_t used = 0;   // for least-recently-used reuse
        uint32_t pressed = 0; // the batch that last pressed it
    };

    bool connect();
    // Runs `op` now, or after what is queued before it.
    void post(std::function<void()> op);
    void drain();
    void fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0);
    void readKeyboardMap();
    std::optional<xcb_keycode_t> keycodeFor(uint32_t keysym) const;
    // Presses and releases each keysym in order, through spare keycodes where needed.
    void typeKeysyms(const std::vector<uint32_t>& keysyms);
    // Maps as many of `keysyms` from `from` as the free spare keycodes hold, types them, and
    // returns how many it typed.
    size_t typeBatch(const std::vector<uint32_t>& keysyms, size_t from);
    // A spare that may be mapped anew: the focused client has read its last press.
    bool isFree(const Spare& spare) const { return spare.pressed <= read_; }
    // Asks the focused client to say when it has read batch `batch_`.
    void askRead(int remapped);
    void answered(uint32_t batch);
    // Changes the server's map to `keysyms_` for these spare keycodes, in as few requests as
    // their runs of neighbouring keycodes allow (each request makes every client read the map).
    void writeSpares(std::vector<xcb_keycode_t> keycodes);
    void setSpare(Spare& spare, uint32_t keysym);
    void restoreSpares();

    QByteArray displayName_;
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    int screen_ = 0;
    bool hasTest_ = false;
    x11::MainDisplayWatch display_;

    xcb_keycode_t minKeycode_ = 8;
    xcb_keycode_t maxKeycode_ = 255;
    int keysymsPerKeycode_ = 0;
    std::vector<uint32_t> keysyms_; // the keyboard map as read
    std::vector<Spare> spares_;
    uint64_t useClock_ = 0;
    X11FocusPing focusPing_;
    uint32_t batch_ = 0; // batches of typing that pressed spares
    uint32_t read_ = 0;  // the focused client has read every batch up to this one
    uint32_t serialBase_ = 0; // pings carry serialBase_ + batch: unlike a window manager's
    QElapsedTimer lastBatchAt_;

    std::deque<std::function<void()>> queue_;
    bool waiting_ = false;
    QTimer resume_;
    QTimer restore_;
    std::optional<QPoint> queuedPointer_;
    int doubleClickMs_ = 0;
    QElapsedTimer doubleClickReadAt_;
};
