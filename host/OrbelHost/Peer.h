#pragma once
// One phone's session: its peer connection, the control channel "input", the file channel
// "file" and the video sender. Events arrive on WebRTC threads; the callbacks decide where
// they run. A closed peer is never reused.

#include "OrbelHost/FileTransfer.h"
#include "WebRTC/WebRTC.h"

#include <QJsonObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class InputInjector;

class Peer : public rtc::PeerConnectionObserver,
             public rtc::DataChannelObserver,
             public std::enable_shared_from_this<Peer> {
public:
    // `files` may be null where a session moves no files (benchmarks).
    Peer(QString viewer, InputInjector& input, std::unique_ptr<FileTransfer> files = nullptr);
    Peer() = delete;

    const QString viewer;
    InputInjector& input;
    // This phone's side of the file channel.
    const std::unique_ptr<FileTransfer> files;
    std::shared_ptr<rtc::PeerConnection> pc;
    std::shared_ptr<rtc::DataChannel> channel;
    std::shared_ptr<rtc::DataChannel> fileChannel;
    std::shared_ptr<rtc::RtpSender> sender;
    // Written on the main thread, read where messages arrive.
    std::atomic<bool> authed { true };
    // Set by close(); a closed peer speaks no more to the signaling server.
    std::atomic<bool> closed { false };
    // An "auth" is on its way to the main thread; more from this phone are dropped meanwhile,
    // so a flood cannot queue PIN checks (each costs tens of milliseconds).
    std::atomic<bool> authPending { false };
    // Set once the connection has been up; a connected phone is never timed out for joining.
    std::atomic<bool> everConnected { false };
    // Main thread: the phone's answer has been handed to the connection; a second is ignored.
    bool answered = false;

    std::function<void(const QString& pin)> onAuth;
    std::function<void(const QJsonObject& message)> onCommand;
    std::function<void(const rtc::IceCandidate& candidate)> onCandidate;
    std::function<void()> onClosed;
    // The connection went "disconnected" (it may still come back).
    std::function<void()> onDisconnected;
    std::function<void()> onOpen;
    // Input messages, delivered on the main thread (to the injector by default).
    std::function<void(const QJsonObject& message)> onInput;

    // Closes the file channel, the control channel and the connection, and drops the file
    // transfers under way. Callbacks stay set.
    void close();

    // Control-message types for the controller rather than the input injector.
    static const QSet<QString>& commands();

    void onIceCandidate(const rtc::IceCandidate& candidate) override;
    void onConnectionStateChange(rtc::PeerConnectionState state) override;
    void onStateChange(rtc::DataChannel& dataChannel) override;
    void onMessage(rtc::DataChannel& dataChannel, const QByteArray& data, bool binary) override;

private:
    void handleUnauthenticated(rtc::DataChannel& dataChannel, const QByteArray& data);
};
