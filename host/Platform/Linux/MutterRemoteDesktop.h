#pragma once
// A remote-desktop session of GNOME's compositor (mutter), through its own D-Bus API on the
// session bus: org.gnome.Mutter.RemoteDesktop v1 for input, joined by an
// org.gnome.Mutter.ScreenCast v4 session that records the primary monitor into a PipeWire
// stream (cursor sent as metadata). No consent dialog: mutter trusts its session bus.
//
// The session's clipboard is enabled with it (see MutterClipboard).
//
// open() and close() block and belong to one thread (the capturer's); the stream's node id
// arrives as a signal, which open() waits for on a main context of its own. Input may be sent
// from any thread meanwhile: it goes out without waiting for replies, in the order it was sent.

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

typedef struct _GDBusConnection GDBusConnection;

class MutterRemoteDesktop {
public:
    MutterRemoteDesktop();
    ~MutterRemoteDesktop();
    MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
    MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

    // Whether mutter's remote-desktop service is on the session bus.
    static bool available();

    // Creates both sessions, records the primary monitor and starts; false with errorString()
    // when mutter refuses or the stream does not appear within `timeoutMs`.
    bool open(int timeoutMs = 5000);
    // Stops the session (mutter ends the stream); safe to call twice.
    void close();
    bool isOpen() const;
    // The remote-desktop session's D-Bus path; empty while none is open (any thread may ask).
    QString path() const;
    // Whether mutter refused the last session asked for (any thread may ask).
    bool refused() const { return refused_; }

    // The PipeWire node of the monitor's stream (input coordinates refer to its pixels).
    uint32_t pipeWireNode() const { return node_; }
    QString errorString() const { return error_; }

    // Input, in the stream's pixel coordinates; false when no session is open.
    bool pointerMotionAbsolute(double x, double y);
    bool pointerMotionRelative(double dx, double dy);
    bool pointerButton(int evdevButton, bool pressed);
    // Wheel steps on the vertical (axis 0) or horizontal (axis 1) axis.
    bool pointerAxisDiscrete(int axis, int steps);
    bool keyboardKeycode(uint32_t evdevCode, bool pressed);
    bool keyboardKeysym(uint32_t keysym, bool pressed);

private:
    struct Bus;
    bool call(const QString& path, const char* interface, const char* method, void* parameters, void** reply = nullptr);
    // Sends without waiting for the reply; takes `parameters` (a floating GVariant).
    bool notify(const char* method, void* parameters);
    // The seat has no keyboard or pointer until the first injected event, and the first key is
    // lost in the focus change that follows: a Shift tap and a pointer nudge set both up.
    void prime();

    std::unique_ptr<Bus> bus_;
    mutable std::mutex mutex_; // guards the paths below against input sent from other threads
    QString remoteDesktop_;    // the remote-desktop session's object path
    QString screenCast_;       // the screen-cast session's object path
    QByteArray stream_;
    uint32_t node_ = 0;
    QString error_;
    std::atomic<bool> refused_ { false };
};
