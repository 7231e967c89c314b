#pragma once
// Desktop input on a Wayland session, through the compositor's remote-desktop session (shared
// with the screen cast, whose pixels the positions refer to). Keys are evdev codes, as the
// session takes them. Text goes as keysyms when the keyboard map has them; mutter drops any
// other keysym, so the rest is pasted (see setPaster); whatever is posted after a paste waits until
// the application has taken it, so everything arrives in order. The modifiers known to be held
// are the ones pressed here: mutter does not tell a client of this API what its seat holds.

#include "Platform/EventPoster.h"
#include "Platform/Linux/RemoteDesktopSession.h"
#include "Platform/Linux/PipeWireStream.h"

#include <QElapsedTimer>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <unordered_set>
#include <vector>

class WaylandEventPoster : public EventPoster {
public:
    WaylandEventPoster(std::shared_ptr<RemoteDesktopSession> session, std::shared_ptr<PipeWireStream> stream);

    // Offers `text` on the clipboard, calls `press` (which presses Control+V) and calls `done`
    // once the text was taken; false, and no `done`, when it could not.
    using Paster = std::function<bool(const QString& text, const std::function<void()>& press, std::function<void()> done)>;
    void setPaster(Paster paster) { paster_ = std::move(paster); }

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

    // A piece of text to type: either key by key, or pasted whole.
    struct Run {
        bool pasted = false;
        std::vector<uint32_t> keysyms; // when typed
        QString text;                  // when pasted
    };
    // Splits text into typed runs (characters whose keysym `typeable` accepts) and pasted ones.
    static std::vector<Run> plan(const QString& text, const std::function<bool(uint32_t keysym)>& typeable);

    // The evdev codes the session expects.
    static constexpr int kLeftButton = 272;
    static constexpr int kRightButton = 273;
    static constexpr int kMiddleButton = 274;
    static uint32_t mediaKeyCode(MediaKey key);
    // How long after a move of ours the pointer is taken to be where we put it.
    static constexpr int kOwnMoveMs = 500;

private:
    // Runs `op` now, or after the paste that is being waited for.
    void post(std::function<void()> op);
    void drain();
    void typeRun(const Run& run);
    // The keysyms the current keyboard layout types, refreshed when the layout changes.
    bool inKeymap(uint32_t keysym);
    void readKeymap();

    std::shared_ptr<RemoteDesktopSession> session_;
    std::shared_ptr<PipeWireStream> stream_;
    Paster paster_;
    std::deque<std::function<void()>> queue_;
    bool waiting_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true); // for callbacks that may outlive this
    QPoint moved_;
    QElapsedTimer movedAt_;
    std::set<uint32_t> heldModifierKeys_;
    QString keymapLayout_;
    std::unordered_set<uint32_t> keymap_;
    QElapsedTimer keymapReadAt_;
    int doubleClickMs_ = 0;
    QElapsedTimer doubleClickReadAt_;
};
