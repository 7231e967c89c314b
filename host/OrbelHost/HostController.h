#pragma once
// The one object that holds the host together: published state for the views, the shared
// screen source and track, the components, the signaling client and the table of phones.
// Everything here runs on the main thread.

#include "OrbelHost/AccessPIN.h"
#include "OrbelHost/ClipboardSync.h"
#include "OrbelHost/CursorMonitor.h"
#include "OrbelHost/HostEnvironment.h"
#include "OrbelHost/InputInjector.h"
#include "OrbelHost/InputSources.h"
#include "OrbelHost/KeyRepeatGuard.h"
#include "OrbelHost/Peer.h"
#include "OrbelHost/ScreenCapturer.h"
#include "OrbelHost/SignalingClient.h"
#include "OrbelHost/StayAwake.h"

#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <map>
#include <memory>

class HostController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString signalStatus READ signalStatus NOTIFY signalStatusChanged)
    Q_PROPERTY(bool signalOnline READ signalOnline NOTIFY signalOnlineChanged)
    Q_PROPERTY(int viewerCount READ viewerCount NOTIFY viewerCountChanged)
    Q_PROPERTY(bool screenPermission READ screenPermission NOTIFY screenPermissionChanged)
    Q_PROPERTY(bool inputPermission READ inputPermission NOTIFY inputPermissionChanged)
    Q_PROPERTY(QString signalURL READ signalURL NOTIFY signalURLChanged)
    Q_PROPERTY(QString hostId READ hostId NOTIFY hostIdChanged)
    Q_PROPERTY(QString hostKey READ hostKey NOTIFY hostKeyChanged)
    Q_PROPERTY(QString accountHostId READ accountHostId NOTIFY accountHostIdChanged)
    Q_PROPERTY(QString linkToken READ linkToken NOTIFY linkTokenChanged)
    Q_PROPERTY(QString linkMessage READ linkMessage NOTIFY linkMessageChanged)
    Q_PROPERTY(bool accountServerReady READ accountServerReady NOTIFY accountServerReadyChanged)
    Q_PROPERTY(bool paused READ paused WRITE setPaused NOTIFY pausedChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(bool pinEnabled READ pinEnabled NOTIFY pinEnabledChanged)
    Q_PROPERTY(bool keepAwake READ keepAwake WRITE setKeepAwake NOTIFY keepAwakeChanged)

public:
    explicit HostController(HostEnvironment environment, QObject* parent = nullptr);
    ~HostController() override;

    // Published state.
    QString signalStatus() const { return signalStatus_; }
    bool signalOnline() const { return signalOnline_; }
    int viewerCount() const { return viewerCount_; }
    bool screenPermission() const { return screenPermission_; }
    bool inputPermission() const { return inputPermission_; }
    // What grants the permissions on this desktop.
    PermissionProbe::Desktop permissionDesktop() const { return env_.permissions->desktop(); }
    QString signalURL() const { return signalURL_; }
    QString hostId() const { return hostId_; }
    QString hostKey() const { return hostKey_; }
    QString accountHostId() const { return accountHostId_; } // null when not linked
    QString linkToken() const { return linkToken_; }
    QString linkMessage() const { return linkMessage_; }
    bool accountServerReady() const { return accountServerReady_; }
    bool paused() const { return paused_; }
    bool launchAtLogin() const { return launchAtLogin_; }
    bool pinEnabled() const { return pinEnabled_; }
    bool keepAwake() const { return keepAwake_; }

    // User actions.
    void start();
    void disconnectAll();
    void setPaused(bool paused);
    // Saved as the user's choice; on when the desktop agreed to keep the display on.
    void setKeepAwake(bool on);
    // Reads the real state back: a change the desktop did not take leaves it as it was.
    void setLaunchAtLogin(bool on);
    void requestInputPermission();
    // Looks at the permissions now rather than at the next poll.
    void checkPermissions();
    // Stops the current signaling client and connects again (settings' reconnect).
    void reconnect();
    // The signaling server the user chose (kept in the settings); takes effect at reconnect().
    void setSignalURL(const QString& url);
    // Stores or removes the access PIN; pinEnabled follows what the keychain took.
    void setAccessPIN(const QString& pin, std::function<void(bool stored)> done = {});
    void clearAccessPIN(std::function<void(bool cleared)> done = {});
    // QR linking to the owner's account; starting again replaces a running attempt.
    void startLinking();
    void cancelLinking();
    void unlink();
    // The QR code to show while linking ("nimbralink:" + token); null when there is none.
    QImage linkQRCode(int moduleSize = 4) const;

    // Core operations used by the session components.
    void broadcast(const QJsonObject& message);
    void send(const QJsonObject& message, Peer& peer);
    void closeAllPeers();
    void closePeer(const QString& viewer);
    void setVideoActive(bool active, rtc::RtpSender& sender);
    void applyQuality(bool low, rtc::RtpSender& sender);
    void notifyViewer();
    void handleCommand(const QJsonObject& message, const std::shared_ptr<Peer>& peer);
    // A phone's "auth": the PIN is checked and the phone let in, told how many tries are left,
    // or locked out and closed.
    void handleAuth(const std::shared_ptr<Peer>& peer, const QString& pin);
    // "screen", "caps" and the input source, for a phone that may operate this computer. Where
    // the main display's size comes with the screen cast's first frame (Wayland), they wait for
    // it, kDisplayWaitMs at most: a phone told a size of -1 could not place a touch.
    void sendInitialState(const std::shared_ptr<Peer>& peer, int waitedMs = 0);
    static constexpr int kDisplayWaitMs = 15000;
    static constexpr int kDisplayPollMs = 20;

    // Inspection.
    std::shared_ptr<Peer> peer(const QString& viewer) const;
    QStringList viewers() const;
    SignalingClient* signaling() const { return signaling_; }
    const std::vector<rtc::IceServer>& iceServers() const { return iceServers_; }
    ScreenCapturer& capturer() { return *capturer_; }
    CursorMonitor& cursor() { return *cursor_; }
    InputInjector& input() { return *input_; }
    InputSources& inputSources() { return *inputSources_; }
    AccessPIN& pin() { return *pin_; }
    ClipboardSync& clipboardSync() { return *clipboardSync_; }
    StayAwake& stayAwake() { return *stayAwake_; }
    UpdateChecker& updates() { return *updates_; }
    bool started() const { return started_; }

    // Normal and data-saving sender settings.
    static constexpr int kNormalBitrate = 12'000'000;
    static constexpr double kNormalFramerate = 30;
    static constexpr double kNormalScale = 1.0;
    static constexpr int kLowBitrate = 800'000;
    static constexpr double kLowFramerate = 15;
    static constexpr double kLowScale = 2.5;

Q_SIGNALS:
    void signalStatusChanged();
    void signalOnlineChanged();
    void viewerCountChanged();
    void screenPermissionChanged();
    void inputPermissionChanged();
    void signalURLChanged();
    void hostIdChanged();
    void hostKeyChanged();
    void accountHostIdChanged();
    void linkTokenChanged();
    void linkMessageChanged();
    void accountServerReadyChanged();
    void pausedChanged();
    void launchAtLoginChanged();
    void pinEnabledChanged();
    void keepAwakeChanged();

private:
    template <typename T>
    void publish(T& field, const T& value, void (HostController::*changed)())
    {
        if (field == value)
            return;
        field = value;
        Q_EMIT(this->*changed)();
    }
    void setSignalStatus(const QString& text) { publish(signalStatus_, text, &HostController::signalStatusChanged); }
    void setSignalOnline(bool online) { publish(signalOnline_, online, &HostController::signalOnlineChanged); }
    void setAccountServerReady(bool ready) { publish(accountServerReady_, ready, &HostController::accountServerReadyChanged); }
    void updateViewerCount();
    void deliver(const QByteArray& bytes, const QJsonObject& message, Peer& peer);
    void loadSecrets();
    // Reads the PIN's record, again and again while it cannot be read; then runs `then`.
    void readPin(std::function<void()> then);
    void holdAwake();

    // Signaling.
    bool isLinked() const;
    void connectSignaling();
    void signalingURL(SignalingClient::URLReady ready);
    void handleSignal(const QJsonObject& message);
    void handleRegistered(const QJsonObject& message);
    void handleViewerJoin(const QString& viewer);
    void handleAnswer(const QString& viewer, const QJsonObject& message);
    void handleCandidate(const QString& viewer, const QJsonObject& message);
    void sendSignal(const QJsonObject& message);
    void reject(const QString& viewer, const QString& reason);
    void handleRevoked();

    // Linking.
    void setLinkToken(const QString& token) { publish(linkToken_, token, &HostController::linkTokenChanged); }
    void setLinkMessage(const QString& text) { publish(linkMessage_, text, &HostController::linkMessageChanged); }
    void setAccountHostId(const QString& id);
    bool linkCurrent(quint64 attempt) const { return attempt == linkAttempt_; }
    void endLinkAttempt();
    void pollLink(quint64 attempt, const QString& token, int poll);
    void linkApproved(quint64 attempt, const std::optional<QString>& hostToken);
    void registerLinkedHost(quint64 attempt);
    void linkFailed(const NimbraServer::Failure& failure);

    // Files, clipboard and screenshots.
    std::unique_ptr<FileTransfer> makeFileTransfer();
    void notifyReceived(const QString& path);
    void receivedClipboardImage(const QByteArray& bytes);
    void takeScreenshot(const std::shared_ptr<Peer>& peer);
    void sendClipboard(Peer& peer);

    // Peers.
    void openPeer(const QString& viewer);
    void wirePeer(const std::shared_ptr<Peer>& peer);
    void configureSender(Peer& peer);
    void makeOffer(const std::shared_ptr<Peer>& peer);
    void handleChannelOpen(const std::shared_ptr<Peer>& peer);
    void removePeer(const QString& viewer);
    // Closes `peer` after `ms` unless `done` holds for it by then (and it is still current).
    void closeUnlessInTime(const std::shared_ptr<Peer>& peer, int ms, std::function<bool(const Peer&)> done, const char* why);
    // From any thread: closes the peer's session if both still exist and it is still current.
    static void closeOnFailure(QPointer<HostController> self, std::weak_ptr<Peer> peer, const QString& what);
    void peersEmptied();
    bool isCurrent(const Peer& peer) const;

    HostEnvironment env_;

    QString signalStatus_;
    bool signalOnline_ = false;
    int viewerCount_ = 0;
    bool screenPermission_ = false;
    bool inputPermission_ = false;
    QString signalURL_;
    QString hostId_;
    QString hostKey_;
    QString accountHostId_;
    QString linkToken_;
    QString linkMessage_;
    bool accountServerReady_ = true;
    bool paused_ = false;
    bool launchAtLogin_ = false;
    bool pinEnabled_ = false;
    bool keepAwake_ = false;

    std::shared_ptr<rtc::VideoSource> videoSource_;
    std::shared_ptr<rtc::VideoTrack> videoTrack_;
    std::unique_ptr<ScreenCapturer> capturer_;
    std::unique_ptr<InputInjector> input_;
    std::unique_ptr<CursorMonitor> cursor_;
    std::unique_ptr<InputSources> inputSources_;
    // After the injector: it restores the desktop's key repeat through the injector's poster.
    std::unique_ptr<KeyRepeatGuard> keyRepeat_;
    std::unique_ptr<AccessPIN> pin_;
    std::unique_ptr<ClipboardSync> clipboardSync_;
    std::unique_ptr<StayAwake> stayAwake_;
    std::unique_ptr<UpdateChecker> updates_;
    QPointer<SignalingClient> signaling_;
    std::map<QString, std::shared_ptr<Peer>> peers_;
    QTimer permissionTimer_;
    std::vector<rtc::IceServer> iceServers_;
    bool started_ = false;
    quint64 linkAttempt_ = 0; // the running linking attempt; any other answer is stale
    QTimer linkPoll_;
};
