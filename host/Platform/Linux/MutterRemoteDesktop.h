#pragma once
// A remote-desktop session of GNOME's compositor (mutter), through its own D-Bus API on the
// session bus: org.gnome.Mutter.RemoteDesktop v1 for input, joined by an
// org.gnome.Mutter.ScreenCast v4 session that records the primary monitor into a PipeWire
// stream (cursor sent as metadata). No consent dialog: mutter trusts its session bus.
//
// Blocking calls, usable from any one thread at a time; the stream's node id arrives as a
// signal, which open() waits for on a main context of its own.

#include <QString>

#include <cstdint>
#include <memory>

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
    bool isOpen() const { return !remoteDesktop_.isEmpty(); }

    // The PipeWire node of the monitor's stream, and its D-Bus path (input coordinates refer to it).
    uint32_t pipeWireNode() const { return node_; }
    const QString& streamPath() const { return stream_; }
    QString errorString() const { return error_; }

    // Input, in the stream's pixel coordinates; false when the call failed.
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
    bool notify(const char* method, void* parameters);

    std::unique_ptr<Bus> bus_;
    QString remoteDesktop_; // the remote-desktop session's object path
    QString screenCast_;    // the screen-cast session's object path
    QString stream_;
    uint32_t node_ = 0;
    QString error_;
};
