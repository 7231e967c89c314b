#pragma once
// A HostController built on fakes, with handles to each fake, user defaults in a temporary
// folder, and millisecond timing.

#include "OrbelHost/HostController.h"
#include "support/FakeNimbraServer.h"
#include "Platform/Fake/FakeCursorSource.h"
#include "Platform/Fake/FakeEventPoster.h"
#include "Platform/Fake/FakeKeyboardLayouts.h"
#include "Platform/Fake/FakeKeychain.h"
#include "Platform/Fake/FakeLoginItem.h"
#include "Platform/Fake/FakeNotifier.h"
#include "Platform/Fake/FakePasteboard.h"
#include "Platform/Fake/FakePowerAssertion.h"
#include "Platform/Fake/FakeWorkspace.h"
#include "Platform/Fake/FakePermissionProbe.h"
#include "Platform/Fake/FakeScreenSource.h"
#include "WebRTC/Fake/FakeWebRTC.h"

#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <memory>

struct ControllerRig {
    ControllerRig();
    ~ControllerRig();

    // Marks the computer linked (account host id and a host token) before make().
    void link(const QString& accountHostId = QStringLiteral("acct-1"));
    // Tickets come from the dev server's control API on this port (asynchronously).
    void useDevServerTickets(quint16 port);
    // The real account client against the dev server's account API (linking tests).
    void useDevServerAccount(quint16 port);
    HostController& make();

    // A viewer's fake connection, once its peer exists.
    std::shared_ptr<rtc::FakePeerConnection> connectionOf(const QString& viewer) const;
    // Opens the control channel of a viewer's connection.
    void openChannel(const QString& viewer);

    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::shared_ptr<rtc::FakePeerConnectionFactory> factory = std::make_shared<rtc::FakePeerConnectionFactory>();
    FakePermissionProbe* permissions = nullptr;
    FakeKeychain* keychain = nullptr;
    FakeNotifier* notifier = nullptr;
    FakeLoginItem* loginItem = nullptr;
    FakeEventPoster* events = nullptr;
    FakeCursorSource* cursor = nullptr;
    FakeScreenSource* screen = nullptr;
    FakeKeyboardLayouts* layouts = nullptr;
    FakeNimbraServer* account = nullptr;
    FakePasteboard* pasteboard = nullptr;
    FakeWorkspace* workspace = nullptr;
    FakePowerAssertion* power = nullptr;
    // Screenshots come from a 64×48 fake display while this holds.
    std::atomic<bool> screenshotWorks { true };
    HostEnvironment env;
    std::function<void()> onTicketRequest;
    int ticketRequests() const { return account->ticketRequests; }
    std::unique_ptr<HostController> controller;

private:
    QNetworkAccessManager network_;
};
