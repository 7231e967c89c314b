#pragma once
// A Wayland compositor's remote-desktop session: one screen cast of the main monitor, read
// over PipeWire, and input into the desktop. mutter offers it directly (MutterRemoteDesktop);
// other compositors through the desktop portal, with the user's consent (PortalRemoteDesktop).
//
// open() and close() block and belong to one thread (the capturer's). Input may be sent from
// any thread meanwhile: it goes out without waiting for replies, in the order it was sent.

#include <QString>

#include <cstdint>

class RemoteDesktopSession {
public:
    virtual ~RemoteDesktopSession() = default;

    // Sets up the session and its screen cast; false with errorString() when it cannot.
    virtual bool open() = 0;
    // Ends the session (and its stream); safe to call twice.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual QString errorString() const = 0;
    // Whether the last session asked for was refused (by the compositor or the user); any
    // thread may ask.
    virtual bool refused() const = 0;
    // Whether the open session may drive the keyboard and pointer too (any thread may ask).
    virtual bool inputGranted() const { return true; }

    // The PipeWire node of the monitor's stream; input coordinates are its pixels.
    virtual uint32_t pipeWireNode() const = 0;
    // A connection to the PipeWire daemon that may see the node, for the caller to own; -1:
    // connect to the session's daemon as usual.
    virtual int takePipeWireConnection() { return -1; }

    // Input; false when no session is open.
    virtual bool pointerMotionAbsolute(double x, double y) = 0;
    virtual bool pointerMotionRelative(double dx, double dy) = 0;
    virtual bool pointerButton(int evdevButton, bool pressed) = 0;
    // Wheel steps on the vertical (axis 0) or horizontal (axis 1) axis, down and right positive.
    virtual bool pointerAxisDiscrete(int axis, int steps) = 0;
    virtual bool keyboardKeycode(uint32_t evdevCode, bool pressed) = 0;
    virtual bool keyboardKeysym(uint32_t keysym, bool pressed) = 0;

    // The pointer moved one pixel and back: the screen cast reports its place and picture with
    // a move.
    void nudgePointer()
    {
        pointerMotionRelative(1, 0);
        pointerMotionRelative(-1, 0);
    }

protected:
    // A new seat has no keyboard or pointer until the first injected event, and the first key
    // is lost in the focus change that follows: a Shift tap and a pointer nudge set both up.
    void prime()
    {
        constexpr uint32_t kLeftShift = 42;
        keyboardKeycode(kLeftShift, true);
        keyboardKeycode(kLeftShift, false);
        nudgePointer();
    }
};
