#pragma once
// A remote-desktop session through the desktop portal (org.freedesktop.portal.RemoteDesktop
// with ScreenCast), for Wayland compositors other than GNOME's: the portal asks the user at
// every start (a screen cast with input cannot be remembered by the portals of Debian 12), so
// it works only while someone at the computer answers. The monitor's stream is read over a
// PipeWire connection that the portal hands over.
//
// Each portal call answers with a request object whose Response signal carries the result;
// open() waits for those on a main context of its own, up to kConsentWaitMs for the dialog.

#include "Platform/Linux/RemoteDesktopSession.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

class PortalRemoteDesktop : public RemoteDesktopSession {
public:
    PortalRemoteDesktop();
    ~PortalRemoteDesktop() override;
    PortalRemoteDesktop(const PortalRemoteDesktop&) = delete;
    PortalRemoteDesktop& operator=(const PortalRemoteDesktop&) = delete;

    // Whether the session bus has a desktop portal that offers remote desktops. The portal may
    // be started by the asking, which at login takes a while; a poll asks again soon anyway.
    static bool available(int timeoutMs = kStartWaitMs);
    static constexpr int kStartWaitMs = 5000;
    static constexpr int kPollWaitMs = 1000;

    bool open() override;
    void close() override;
    bool isOpen() const override;
    QString errorString() const override { return error_; }
    bool refused() const override { return refused_; }
    uint32_t pipeWireNode() const override { return node_; }
    int takePipeWireConnection() override;
    // Whether the user let the phone control the keyboard and pointer too.
    bool inputGranted() const override { return inputGranted_; }

    bool pointerMotionAbsolute(double x, double y) override;
    bool pointerMotionRelative(double dx, double dy) override;
    bool pointerButton(int evdevButton, bool pressed) override;
    bool pointerAxisDiscrete(int axis, int steps) override;
    bool keyboardKeycode(uint32_t evdevCode, bool pressed) override;
    bool keyboardKeysym(uint32_t keysym, bool pressed) override;

    // How long the user has to answer the portal's dialog; other requests answer at once.
    static constexpr int kConsentWaitMs = 120'000;
    static constexpr int kRequestWaitMs = 10'000;

private:
    struct Bus;
    // Calls `method` with its arguments before the options (`session`, and the parent window
    // for Start) and `options` plus a request token, then waits for the request's response.
    // The response's results, or null with error_ (and refused_ when the user said no).
    void* request(const char* interface, const char* method, bool withSession, bool withParent, void* options, int timeoutMs);
    bool notify(const char* method, void* parameters);

    std::unique_ptr<Bus> bus_;
    mutable std::mutex mutex_; // guards session_ against input sent from other threads
    QByteArray session_;       // the portal session's handle
    std::atomic<uint32_t> node_ { 0 }; // read by input on other threads
    int connection_ = -1; // PipeWire socket from the portal, until taken
    unsigned tokens_ = 0;
    QString error_;
    std::atomic<bool> refused_ { false };
    std::atomic<bool> inputGranted_ { false };
};
