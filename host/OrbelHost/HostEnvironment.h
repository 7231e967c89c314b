#pragma once
// Everything the controller is built from: the platform backends, the WebRTC factory, where
// settings live, and the timing constants (scalable so tests run schedules in milliseconds).

#include "OrbelHost/FileTransfer.h"
#include "OrbelHost/NimbraServer.h"
#include "OrbelHost/StayAwake.h"
#include "OrbelHost/UpdateChecker.h"
#include "OrbelHost/SignalingClient.h"
#include "Platform/CursorSource.h"
#include "Platform/EventPoster.h"
#include "Platform/KeyboardLayouts.h"
#include "Platform/Keychain.h"
#include "Platform/LoginItem.h"
#include "Platform/Notifier.h"
#include "Platform/Pasteboard.h"
#include "Platform/PermissionProbe.h"
#include "Platform/PowerAssertion.h"
#include "Platform/ScreenSource.h"
#include "Platform/Workspace.h"
#include "WebRTC/WebRTC.h"

#include <QSettings>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

struct HostEnvironment {
    std::shared_ptr<rtc::PeerConnectionFactory> factory;
    std::unique_ptr<PermissionProbe> permissions;
    // Shared with the keychain worker, which may still be using it when the controller goes.
    std::shared_ptr<Keychain> keychain;
    std::unique_ptr<Notifier> notifier;
    std::unique_ptr<LoginItem> loginItem;
    std::unique_ptr<PowerAssertion> power;
    std::unique_ptr<ScreenSource> screen;
    std::unique_ptr<EventPoster> events;
    std::unique_ptr<CursorSource> cursor;
    std::unique_ptr<KeyboardLayouts> layouts;
    std::unique_ptr<Pasteboard> pasteboard;
    std::unique_ptr<Workspace> workspace;
    // A fresh view of the main display for one screenshot, used on a worker thread.
    std::function<std::unique_ptr<ScreenSource>()> screenshotSource;
    // Where the update feed is, whose signatures count, and where downloads go.
    UpdateChecker::Config update;
    // The system's package manager, for a copy it installed; may be null.
    std::unique_ptr<PackageManager> packages;
    // Where received files go.
    FileTransfer::Places files = FileTransfer::Places::standard();
    // The user defaults; owned by the caller and outliving the controller.
    QSettings* settings = nullptr;

    // The account server's client; uses `keychain`, so it is declared after it.
    std::unique_ptr<NimbraServer> account;
    // Where the signaling server is unless the user chose another address.
    QString defaultSignalURL = QStringLiteral(VELQUIN_DEFAULT_SIGNAL_URL);
    // What this computer is called (the desktop's pretty host name); may be empty.
    QString computerName;

    SignalingClient::Timing signalingTiming;
    int permissionPollMs = 2000;
    // How often the clipboard is looked at for something new to push to the phones.
    int clipSyncMs = 500;
    // How often a kept-awake desktop is told the user is active.
    int activityMs = StayAwake::kActivityIntervalMs;
    // A phone that has not sent its PIN this long after its control channel opened is closed.
    int authTimeoutMs = 120000;
    // An access PIN that could not be read is read again this often (phones must send one meanwhile).
    int pinRetryMs = 5000;
    // A locked-out phone is rejected and closed this long after it is told.
    int lockoutCloseMs = 1000;
    // A phone whose connection is not up this long after its join is closed.
    int connectTimeoutMs = 30000;
    // Peer sessions at once; each costs a media pipeline.
    int maxPeers = 8;
    // Linking: a status poll this often, this many times, while the QR code is shown.
    int linkPollMs = 2000;
    int linkMaxPolls = 150;
};
