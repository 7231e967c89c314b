// The controller's own state: start-up, permissions, pause, disconnect, broadcast and the
// control-message limits.

#include "OrbelHost/HostL10n.h"
#include "support/HostFixture.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTimer>

namespace {
QStringList capturedWarnings;
void captureWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        capturedWarnings << message;
}
} // namespace

using HostControllerTest = HostFixture;

TEST_F(HostControllerTest, StartsOnceAndFollowsPermissions)
{
    auto& controller = startLinked();
    int screenChanges = 0;
    QObject::connect(&controller, &HostController::screenPermissionChanged, [&] { ++screenChanges; });
    controller.start();
    controller.start();
    settle();
    EXPECT_EQ(rig.notifier->authorizationRequests, 1);
    EXPECT_EQ(server.connections, 1);
    // An unchanged permission announces nothing, however often it is polled.
    EXPECT_EQ(screenChanges, 0);
    const int reads = rig.permissions->reads;
    pump(100);
    // One poll timer only: about 5 reads in 100 ms at a 20 ms period, not twice that.
    EXPECT_LE(rig.permissions->reads - reads, 8);

    rig.permissions->input = false;
    EXPECT_TRUE(waitFor([&] { return !controller.inputPermission(); }, 1000));
    rig.permissions->screen = false;
    EXPECT_TRUE(waitFor([&] { return !controller.screenPermission(); }, 1000));
    EXPECT_EQ(screenChanges, 1);
}

TEST_F(HostControllerTest, FirstLaunchTurnsOnLoginItemLaterLaunchesLeaveItAlone)
{
    auto& first = rig.make();
    EXPECT_FALSE(first.launchAtLogin());
    first.start();
    EXPECT_TRUE(first.launchAtLogin());
    EXPECT_TRUE(rig.loginItem->enabled);
    EXPECT_TRUE(rig.settings->value("didSetLoginItem").toBool());

    // The user turns it off; the next launch keeps it off. Identity survives the relaunch.
    const QString hostId = first.hostId();
    const QString hostKey = first.hostKey();
    rig.controller.reset();
    ControllerRig second;
    second.settings = std::make_unique<QSettings>(rig.settings->fileName(), QSettings::IniFormat);
    second.env.settings = second.settings.get();
    auto& relaunched = second.make();
    relaunched.start();
    EXPECT_EQ(second.loginItem->setCalls, 0);
    EXPECT_FALSE(relaunched.launchAtLogin());
    EXPECT_EQ(relaunched.hostId(), hostId);
    EXPECT_EQ(relaunched.hostKey(), hostKey);
}

TEST_F(HostControllerTest, SwitchesShowWhatTheDesktopReallyDid)
{
    // Keep-awake stored as on: the next start holds the display again by itself.
    rig.settings->setValue("keepAwake", true);
    auto& controller = rig.make();
    EXPECT_TRUE(controller.keepAwake());
    EXPECT_FALSE(rig.power->held);
    controller.start();
    EXPECT_TRUE(rig.power->held);
    EXPECT_TRUE(waitFor([&] { return rig.power->activity >= 3; }, 1000)) << "activity is declared again and again";

    controller.setKeepAwake(true);
    EXPECT_EQ(rig.power->holds, 1);
    controller.setKeepAwake(false);
    controller.setKeepAwake(false);
    EXPECT_EQ(rig.power->releases, 1);
    EXPECT_FALSE(rig.settings->value("keepAwake").toBool());
    const int activity = rig.power->activity;
    pump(100);
    EXPECT_EQ(rig.power->activity, activity);

    // A desktop that will not keep the display on: the switch goes back off.
    rig.power->grants = false;
    int changes = 0;
    QObject::connect(&controller, &HostController::keepAwakeChanged, [&] { ++changes; });
    controller.setKeepAwake(true);
    EXPECT_FALSE(controller.keepAwake());
    EXPECT_EQ(changes, 2);
    EXPECT_FALSE(controller.stayAwake().running());

    // A login item the desktop would not change keeps showing the real state.
    rig.loginItem->refuses = true;
    controller.setLaunchAtLogin(false);
    EXPECT_TRUE(controller.launchAtLogin());
    rig.loginItem->refuses = false;
    controller.setLaunchAtLogin(false);
    EXPECT_FALSE(controller.launchAtLogin());
}

TEST_F(HostControllerTest, UnlinkedHostStaysOfflineWithoutAConnection)
{
    rig.settings->setValue("signalURL", server.url().toString());
    rig.settings->setValue("accountHostId", "acct-1"); // but no host token
    auto& controller = rig.make();
    EXPECT_EQ(controller.signalStatus(), HL(QStringLiteral("啟動中…")));
    controller.start();
    ASSERT_TRUE(waitFor([&] { return controller.signalStatus() == HL(QStringLiteral("尚未綁定：請在下方用手機的 Velquin 掃描 QR Code")); }));
    EXPECT_EQ(server.connections, 0);
    EXPECT_FALSE(controller.signalOnline());
    EXPECT_EQ(controller.signaling(), nullptr);
    EXPECT_EQ(rig.ticketRequests(), 0);
}

TEST_F(HostControllerTest, ConnectsWithATicketFetchedBeforeEveryAttempt)
{
    auto& controller = startLinked();
    EXPECT_EQ(controller.signalStatus(), HL(QStringLiteral("在線上，等待連線")));
    ASSERT_EQ(server.requestUrls.size(), 1);
    EXPECT_EQ(server.requestUrls[0].query(), QStringLiteral("role=host&ticket=test-ticket"));
    server.closeWith(4429);
    EXPECT_TRUE(waitFor([&] { return server.connections == 2 && controller.signalOnline(); }));
    EXPECT_EQ(rig.ticketRequests(), 2);
}

TEST_F(HostControllerTest, ASlowKeychainNeverStallsTheMainThread)
{
    // A keyring that takes 3 s per call, as one waiting on its unlock prompt does.
    rig.settings->setValue(QStringLiteral("signalURL"), server.url().toString());
    rig.link();
    rig.keychain->delayMs = 3000;
    auto& controller = rig.make();
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longestGap = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    clock.start();
    tick.start(20);
    controller.start();
    ASSERT_TRUE(waitFor([&] { return controller.signalOnline(); }, 20000));
    EXPECT_GE(clock.elapsed(), 3000); // the token really came through the slow keychain
    const int reads = rig.keychain->reads;

    // Reconnecting uses the token read at start-up: no keychain call, no stall.
    server.closeWith(1011);
    ASSERT_TRUE(waitFor([&] { return !controller.signalOnline(); }));
    ASSERT_TRUE(waitFor([&] { return controller.signalOnline() && server.connections == 2; }));
    EXPECT_EQ(rig.keychain->reads, reads);
    EXPECT_LT(longestGap, 1000) << "the main loop stood still for " << longestGap << " ms";
}

TEST_F(HostControllerTest, PauseAndDisconnectAllRejectEveryPhone)
{
    auto& controller = startLinked();
    // Pausing with nobody connected sends nothing and stops nothing.
    controller.setPaused(true);
    controller.setPaused(false);
    join("v1");
    // The offer is sent after anything the pause could have sent.
    ASSERT_TRUE(waitFor([&] { return !sentTo("v1", "offer").isEmpty(); }));
    EXPECT_TRUE(server.receivedOfType("rejected").isEmpty());

    join("v2");
    ASSERT_EQ(controller.viewerCount(), 2);
    EXPECT_TRUE(controller.capturer().running());
    controller.setPaused(true);
    EXPECT_EQ(controller.viewerCount(), 0);
    EXPECT_FALSE(controller.capturer().running());
    EXPECT_FALSE(controller.cursor().running());
    EXPECT_TRUE(waitFor([&] { return server.receivedOfType("rejected").size() == 2; }));
    for (const QString viewer : { "v1", "v2" }) {
        auto rejected = sentTo(viewer, "rejected");
        ASSERT_EQ(rejected.size(), 1) << viewer.toStdString();
        EXPECT_EQ(rejected[0].value("reason").toString(), QStringLiteral("電腦端中斷了連線"));
    }
    for (const auto& pc : rig.factory->connections())
        EXPECT_TRUE(pc->closed());

    // While paused, a join is refused and opens nothing.
    server.sendJson({ { "type", "viewer-join" }, { "from", "v3" } });
    EXPECT_TRUE(waitFor([&] { return sentTo("v3", "rejected").size() == 1; }));
    EXPECT_EQ(sentTo("v3", "rejected")[0].value("reason").toString(), QStringLiteral("電腦端暫停了遠端"));
    EXPECT_EQ(controller.viewerCount(), 0);
    EXPECT_EQ(rig.factory->connections().size(), 2);

    controller.setPaused(false);
    join("v4");
    controller.disconnectAll();
    EXPECT_TRUE(waitFor([&] { return sentTo("v4", "rejected").size() == 1; }));
    EXPECT_EQ(controller.viewerCount(), 0);
}

TEST_F(HostControllerTest, BroadcastReachesOnlyAuthenticatedPhonesWithAnOpenChannel)
{
    auto& controller = startLinked();
    join("authed");
    join("closed-channel");
    join("pending");
    controller.peer("pending")->authed = false;
    rig.openChannel("authed");
    rig.openChannel("pending");
    const int pendingBefore = int(rig.connectionOf("pending")->channel("input")->sent().size());

    controller.broadcast({ { "t", "cursor" }, { "x", 0.5 } });
    auto sent = rig.connectionOf("authed")->channel("input")->sent();
    ASSERT_FALSE(sent.isEmpty());
    EXPECT_EQ(sent.last().data, QByteArray(R"({"t":"cursor","x":0.5})"));
    EXPECT_FALSE(sent.last().binary);
    EXPECT_TRUE(rig.connectionOf("closed-channel")->channel("input")->sent().isEmpty());
    EXPECT_EQ(rig.connectionOf("pending")->channel("input")->sent().size(), pendingBefore);
}

TEST_F(HostControllerTest, OversizedOrUnserialisableMessagesAreDroppedAndSaid)
{
    auto& controller = startLinked();
    join("v1");
    rig.openChannel("v1");
    auto channel = rig.connectionOf("v1")->channel("input");
    auto peer = controller.peer("v1");
    const int before = int(channel->sent().size());

    capturedWarnings.clear();
    auto previous = qInstallMessageHandler(captureWarnings);
    controller.send({ { "t", "clip" }, { "text", QString(70 * 1024, 'a') } }, *peer);
    qInstallMessageHandler(previous);
    EXPECT_EQ(channel->sent().size(), before);
    ASSERT_EQ(capturedWarnings.size(), 1);
    EXPECT_TRUE(capturedWarnings[0].contains("clip"));
    EXPECT_TRUE(capturedWarnings[0].contains(QString::number(70 * 1024 + 22)));

    controller.send({ { "t", "clip" }, { "text", QString(63 * 1024, 'a') } }, *peer);
    EXPECT_EQ(channel->sent().size(), before + 1);

    // A larger limit announced by the phone is honoured.
    channel->setMaxMessageSize(256 * 1024);
    controller.broadcast({ { "t", "clip" }, { "text", QString(70 * 1024, 'a') } });
    EXPECT_EQ(channel->sent().size(), before + 2);

    // What JSON cannot carry is dropped for that phone without harm.
    controller.send({ { "t", "clip" }, { "text", QString(QChar(0xDC00)) } }, *peer);
    controller.broadcast({ { "t", "clip" }, { "n", std::nan("") } });
    EXPECT_EQ(channel->sent().size(), before + 2);
}

TEST_F(HostControllerTest, ServerDownClosesEveryPhoneAndStatusFollowsCloseCodes)
{
    auto& controller = startLinked();
    join("v1");
    join("v2");
    ASSERT_EQ(controller.viewerCount(), 2);
    server.closeWith(4403);
    EXPECT_TRUE(waitFor([&] { return controller.viewerCount() == 0; }));
    EXPECT_FALSE(controller.capturer().running());
    EXPECT_TRUE(waitFor([&] { return controller.signalOnline(); }));
    EXPECT_EQ(server.connections, 2);
}

TEST_F(HostControllerTest, RevocationUnlinksAndStopsConnecting)
{
    auto& controller = startLinked();
    join("v1");
    server.closeWith(4410);
    EXPECT_TRUE(waitFor([&] { return controller.accountHostId().isNull(); }));
    EXPECT_EQ(controller.viewerCount(), 0);
    EXPECT_TRUE(waitFor([&] { return !rig.keychain->peek(NimbraServer::kTokenService, NimbraServer::kTokenAccount); }));
    EXPECT_FALSE(rig.settings->contains("accountHostId"));
    EXPECT_EQ(controller.linkMessage(), HL(QStringLiteral("這台電腦已經從帳號移除，要用的話請重新綁定")));
    EXPECT_EQ(controller.signalStatus(), HL(QStringLiteral("尚未綁定：請在下方用手機的 Velquin 掃描 QR Code")));
    EXPECT_TRUE(!controller.signaling() || !controller.signaling()->busy());
    EXPECT_EQ(server.connections, 1);
}

TEST_F(HostControllerTest, RegisteredReplacesIceServersForLaterPeers)
{
    auto& controller = startLinked();
    ASSERT_EQ(controller.iceServers().size(), 1u);
    EXPECT_TRUE(controller.iceServers()[0].urls[0].startsWith("stun:"));
    EXPECT_TRUE(controller.iceServers()[0].urls[0].endsWith(":19302"));

    signal({ { "type", "registered" } });
    EXPECT_EQ(controller.iceServers().size(), 1u);

    join("before");
    signal({ { "type", "registered" },
             { "iceServers", QJsonArray { QJsonObject { { "urls", "turn:turn.test:3478" }, { "username", "u" }, { "credential", "c" } },
                                          QJsonObject { { "urls", QJsonArray {} } },
                                          QJsonObject { { "urls", QJsonArray { "stun:a", 5 } } },
                                          QJsonObject { { "urls", 7 } },
                                          "not an object",
                                          QJsonObject { { "urls", QJsonArray { "stun:b", "stun:c" } }, { "username", 3 } } } } });
    ASSERT_TRUE(waitFor([&] { return controller.iceServers().size() == 2; }, 1000));
    const auto& turn = controller.iceServers()[0];
    EXPECT_EQ(turn.urls, QStringList { "turn:turn.test:3478" });
    EXPECT_EQ(turn.username, std::optional<QString>("u"));
    EXPECT_EQ(turn.credential, std::optional<QString>("c"));
    EXPECT_EQ(controller.iceServers()[1].urls, (QStringList { "stun:b", "stun:c" }));
    EXPECT_FALSE(controller.iceServers()[1].username.has_value());

    join("after");
    EXPECT_EQ(rig.connectionOf("before")->configuration().iceServers.size(), 1u);
    EXPECT_EQ(rig.connectionOf("after")->configuration().iceServers, controller.iceServers());

    signal({ { "type", "registered" }, { "iceServers", QJsonArray {} } });
    EXPECT_TRUE(waitFor([&] { return controller.iceServers().empty(); }, 1000));
}
