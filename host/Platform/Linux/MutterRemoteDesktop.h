#pragma once
// A remote-desktop session of GNOME's compositor (mutter), through its own D-Bus API on the
// session bus: org.gnome.Mutter.RemoteDesktop v1 for input, joined by an
// org.gnome.Mutter.ScreenCast v4 session that records the primary monitor into a PipeWire
// stream (cursor sent as metadata). No consent dialog: mutter trusts its session bus.
//
// The session's clipboard is enabled with it (see MutterClipboard). The stream's node id
// arrives as a signal, which open() waits for on a main context of its own.

#include "Platform/Linux/RemoteDesktopSession.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

typedef struct _GDBusConnection GDBusConnection;

class MutterRemoteDesktop : public RemoteDesktopSession {
public:
    MutterRemoteDesktop();
    ~MutterRemoteDesktop() override;
    MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
    MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

    // Whether mutter's remote-desktop service is on the session bus.
    static bool available();
    // Whether it makes a session for this process (one is made and stopped again at once).
    static bool allowsSessions();

    // Creates both sessions, records the primary monitor and starts; false with errorString()
    // when mutter refuses or the stream does not appear within kStreamWaitMs.
    bool open() override;
    void close() override;
    bool isOpen() const override;
    QString errorString() const override { return error_; }
    bool refused() const override { return refused_; }
    uint32_t pipeWireNode() const override { return node_; }
    // The remote-desktop session's D-Bus path; empty while none is open (any thread may ask).
    QString path() const;

    bool pointerMotionAbsolute(double x, double y) override;
    bool pointerMotionRelative(double dx, double dy) override;
    bool pointerButton(int evdevButton, bool pressed) override;
    bool pointerAxisDiscrete(int axis, int steps) override;
    bool keyboardKeycode(uint32_t evdevCode, bool pressed) override;
    bool keyboardKeysym(uint32_t keysym, bool pressed) override;

    static constexpr int kStreamWaitMs = 5000;

private:
    struct Bus;
    bool call(const QString& path, const char* interface, const char* method, void* parameters, void** reply = nullptr);
    // Sends without waiting for the reply; takes `parameters` (a floating GVariant).
    bool notify(const char* method, void* parameters);

    std::unique_ptr<Bus> bus_;
    mutable std::mutex mutex_; // guards the paths below against input sent from other threads
    QString remoteDesktop_;    // the remote-desktop session's object path
    QString screenCast_;       // the screen-cast session's object path
    QByteArray stream_;
    uint32_t node_ = 0;
    QString error_;
    std::atomic<bool> refused_ { false };
};
