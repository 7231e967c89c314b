#pragma once
// Tells when the application with the keyboard focus has read every key event sent to it so
// far. X has no acknowledgement for input, but window managers ask clients whether they are
// alive with _NET_WM_PING, and clients answer it from their event loop, in order with their
// other events: an answer to a ping sent after some key events means those events, and the
// keyboard-map changes before them, have been handled. Typing through remapped keycodes needs
// exactly that before it maps a keycode anew.
//
// The ping goes out on the caller's connection, after the requests it has queued; the answer,
// which clients send to the root window, arrives on a connection of this class's own.

#include <QByteArray>
#include <QSocketNotifier>

#include <xcb/xcb.h>

#include <functional>
#include <memory>

class X11FocusPing {
public:
    // `display` names the X display; empty means $DISPLAY.
    explicit X11FocusPing(const QByteArray& display);
    ~X11FocusPing();
    X11FocusPing(const X11FocusPing&) = delete;
    X11FocusPing& operator=(const X11FocusPing&) = delete;

    // Pings the client whose window has the keyboard focus (or is under the pointer when the
    // focus follows it), through `connection`, whose root window is `root`. False when no such
    // client answers pings: none has the focus, or it does not offer _NET_WM_PING.
    bool send(xcb_connection_t* connection, xcb_window_t root, uint32_t serial);

    // Called on the thread that made this object, with the serial of each answered ping.
    std::function<void(uint32_t serial)> onAnswer;

private:
    // The focused top-level window that takes pings, else 0.
    xcb_window_t target(xcb_connection_t* connection, xcb_window_t root);
    bool takesPings(xcb_connection_t* connection, xcb_window_t window);
    void readAnswers();

    xcb_connection_t* listener_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    xcb_atom_t protocols_ = XCB_ATOM_NONE;
    xcb_atom_t ping_ = XCB_ATOM_NONE;
    xcb_window_t pinged_ = 0;
};
