// Peer sessions as the controller runs them: opening, negotiation messages, replacement,
// closing, the PIN gate and the bounds on sessions.

#include "support/HostFixture.h"

using HostControllerPeerTest = HostFixture;

TEST_F(HostControllerPeerTest, JoinOpensAPeerAndSendsItsOffer)
{
    auto& controller = startLinked();
    join("v1");
    auto pc = rig.connectionOf("v1");
    ASSERT_TRUE(pc);
    EXPECT_EQ(controller.viewerCount(), 1);
    EXPECT_EQ(pc->track()->id(), QStringLiteral("screen"));
    EXPECT_EQ(pc->streamIds(), QStringList { "desk" });
    EXPECT_EQ(pc->channelLabels(), (QStringList { "input", "file" }));
    EXPECT_EQ(pc->channelOrdered(), (QList<bool> { true, true }));
    EXPECT_EQ(pc->configuration().gatheringPolicy, rtc::GatheringPolicy::Continually);
    EXPECT_TRUE(rig.factory->lastSourceWasScreencast);

    const auto parameters = pc->sender()->parameters();
    EXPECT_EQ(parameters.degradationPreference, rtc::DegradationPreference::MaintainResolution);
    ASSERT_EQ(parameters.encodings.size(), 1u);
    EXPECT_TRUE(parameters.encodings[0].active);
    EXPECT_EQ(parameters.encodings[0].maxBitrateBps, 12'000'000);
    EXPECT_EQ(parameters.encodings[0].maxFramerate, 30.0);
    EXPECT_EQ(parameters.encodings[0].scaleResolutionDownBy, 1.0);

    EXPECT_TRUE(controller.capturer().running());
    EXPECT_TRUE(controller.cursor().running());
    EXPECT_EQ(rig.notifier->posted.size(), 1);

    ASSERT_TRUE(waitFor([&] { return sentTo("v1", "offer").size() == 1; }));
    EXPECT_EQ(sentTo("v1", "offer")[0].value("sdp").toString(), pc->localDescription()->sdp);

    pc->emitCandidate({ "candidate:1 1 udp 1 127.0.0.1 5000 typ host", std::nullopt, 0 });
    pc->emitCandidate({ "candidate:2 1 udp 1 127.0.0.1 5001 typ host", QStringLiteral("0"), 1 });
    ASSERT_TRUE(waitFor([&] { return sentTo("v1", "candidate").size() == 2; }));
    const auto first = sentTo("v1", "candidate")[0].value("candidate").toObject();
    EXPECT_EQ(first.value("candidate").toString(), QStringLiteral("candidate:1 1 udp 1 127.0.0.1 5000 typ host"));
    EXPECT_EQ(first.value("sdpMid"), QJsonValue(QString()));
    EXPECT_EQ(first.value("sdpMLineIndex"), QJsonValue(0));
    EXPECT_EQ(sentTo("v1", "candidate")[1].value("candidate").toObject().value("sdpMid").toString(), QStringLiteral("0"));

    // Quality switches and back.
    controller.applyQuality(true, *pc->sender());
    auto low = pc->sender()->parameters().encodings[0];
    EXPECT_EQ(low.maxBitrateBps, 800'000);
    EXPECT_EQ(low.maxFramerate, 15.0);
    EXPECT_EQ(low.scaleResolutionDownBy, 2.5);
    controller.applyQuality(false, *pc->sender());
    EXPECT_EQ(pc->sender()->parameters().encodings[0], parameters.encodings[0]);
}

TEST_F(HostControllerPeerTest, AnswersAndCandidatesReachTheRightPeer)
{
    startLinked();
    join("v1");
    auto pc = rig.connectionOf("v1");
    signal({ { "type", "answer" }, { "from", "v1" }, { "sdp", "v=0 answer" } });
    signal({ { "type", "answer" }, { "from", "v1" }, { "sdp", 5 } });
    signal({ { "type", "answer" }, { "from", "nobody" }, { "sdp", "v=0 other" } });
    ASSERT_TRUE(waitFor([&] { return pc->remoteDescription().has_value(); }));
    EXPECT_EQ(pc->remoteDescription()->sdp, QStringLiteral("v=0 answer"));
    EXPECT_EQ(pc->remoteDescription()->type, rtc::SessionDescription::Type::Answer);

    auto candidate = [&](QJsonObject body) { signal({ { "type", "candidate" }, { "from", "v1" }, { "candidate", body } }); };
    candidate({ { "candidate", "" } });
    candidate({ { "candidate", 12 } });
    signal({ { "type", "candidate" }, { "from", "v1" }, { "candidate", "line" } });
    candidate({ { "candidate", "candidate:a" } });
    candidate({ { "candidate", "candidate:b" }, { "sdpMid", "0" }, { "sdpMLineIndex", 1 } });
    candidate({ { "candidate", "candidate:c" }, { "sdpMid", 4 }, { "sdpMLineIndex", "2" } });
    candidate({ { "candidate", "candidate:d" }, { "sdpMLineIndex", 4294967296.0 } });
    candidate({ { "candidate", "candidate:e" }, { "sdpMLineIndex", 1.5 } });
    signal({ { "type", "candidate" }, { "from", "nobody" }, { "candidate", QJsonObject { { "candidate", "candidate:x" } } } });
    ASSERT_TRUE(waitFor([&] { return pc->remoteCandidates().size() == 4; }));
    settle();
    const auto added = pc->remoteCandidates();
    ASSERT_EQ(added.size(), 4);
    EXPECT_EQ(added[0].candidate, QStringLiteral("candidate:a"));
    EXPECT_EQ(added[0].sdpMLineIndex, 0);
    EXPECT_FALSE(added[0].sdpMid.has_value());
    EXPECT_EQ(added[1].sdpMid, std::optional<QString>("0"));
    EXPECT_EQ(added[1].sdpMLineIndex, 1);
    EXPECT_FALSE(added[2].sdpMid.has_value());
    EXPECT_EQ(added[2].sdpMLineIndex, 0);
    EXPECT_EQ(added[3].candidate, QStringLiteral("candidate:e"));
}

TEST_F(HostControllerPeerTest, SameViewerJoiningAgainReplacesItsSession)
{
    auto& controller = startLinked();
    join("v1");
    auto old = rig.connectionOf("v1");
    // The first session's capture has opened the screen before the phone joins again. Until
    // then its start is only queued for the capture thread, which settles it together with the
    // replacement's stop and start as the one start now wanted, and opens the screen once.
    ASSERT_TRUE(waitFor([&] { return rig.screen->openCalls() == 1; }));
    join("v1");
    auto replacement = rig.connectionOf("v1");
    ASSERT_NE(old, replacement);
    EXPECT_TRUE(old->closed());
    EXPECT_EQ(controller.viewerCount(), 1);
    // The old session was the last, so capture stopped; then the new one started it again.
    EXPECT_TRUE(waitFor([&] { return rig.screen->openCalls() == 2 && rig.screen->isOpen(); }));
    EXPECT_EQ(rig.screen->closeCalls(), 1);
    EXPECT_TRUE(waitFor([&] { return sentTo("v1", "offer").size() == 2; }));

    // A late failure of the replaced connection must not end the new session.
    old->setConnectionState(rtc::PeerConnectionState::Failed);
    settle();
    EXPECT_EQ(controller.peer("v1")->pc, replacement);
    EXPECT_TRUE(controller.capturer().running());

    replacement->setConnectionState(rtc::PeerConnectionState::Disconnected);
    settle();
    EXPECT_EQ(controller.viewerCount(), 1);
    rig.events->events.clear();
    replacement->setConnectionState(rtc::PeerConnectionState::Failed);
    EXPECT_TRUE(waitFor([&] { return controller.viewerCount() == 0; }));
    EXPECT_FALSE(controller.capturer().running());
    EXPECT_FALSE(controller.cursor().running());
}

TEST_F(HostControllerPeerTest, ReplacedPeerNeverSpeaksForItsSuccessor)
{
    startLinked();
    rig.factory->holdOffers = true;
    join("v1");
    auto old = rig.connectionOf("v1");
    join("v1");
    auto replacement = rig.connectionOf("v1");
    ASSERT_TRUE(old->hasPendingOffer());
    ASSERT_TRUE(replacement->hasPendingOffer());

    old->completeOffer();
    old->emitCandidate({ "candidate:old 1 udp 1 127.0.0.1 1 typ host", QStringLiteral("0"), 0 });
    replacement->completeOffer();
    replacement->emitCandidate({ "candidate:new 1 udp 1 127.0.0.1 2 typ host", QStringLiteral("0"), 0 });
    ASSERT_TRUE(waitFor([&] { return sentTo("v1", "candidate").size() == 1; }));
    settle();

    const auto offers = sentTo("v1", "offer");
    ASSERT_EQ(offers.size(), 1);
    EXPECT_EQ(offers[0].value("sdp").toString(), replacement->localDescription()->sdp);
    const auto candidates = sentTo("v1", "candidate");
    ASSERT_EQ(candidates.size(), 1);
    EXPECT_TRUE(candidates[0].value("candidate").toObject().value("candidate").toString().startsWith("candidate:new"));
}

TEST_F(HostControllerPeerTest, FailuresToBuildASessionAreHandled)
{
    auto& controller = startLinked();
    rig.factory->failPeerConnections = true;
    join("nopc");
    settle();
    EXPECT_EQ(controller.viewerCount(), 0);
    EXPECT_TRUE(sentTo("nopc", "offer").isEmpty());
    EXPECT_TRUE(rig.notifier->posted.isEmpty());

    rig.factory->failPeerConnections = false;
    rig.factory->failSenders = true;
    join("novideo");
    EXPECT_EQ(controller.viewerCount(), 1);
    EXPECT_FALSE(controller.peer("novideo")->sender);
    EXPECT_TRUE(waitFor([&] { return sentTo("novideo", "offer").size() == 1; }));

    // An offer that fails leaves no session behind.
    rig.factory->holdOffers = true;
    join("nooffer");
    EXPECT_EQ(controller.viewerCount(), 2);
    rig.connectionOf("nooffer")->completeOffer(false);
    EXPECT_TRUE(waitFor([&] { return controller.viewerCount() == 1; }));
    EXPECT_FALSE(controller.peer("nooffer"));
}

TEST_F(HostControllerPeerTest, PinGatesVideoAndInputUntilAuthenticated)
{
    rig.keychain->write(AccessPIN::kService, AccessPIN::kAccount, "hash");
    rig.env.authTimeoutMs = 300;
    auto& controller = startLinked();
    ASSERT_TRUE(controller.pinEnabled());

    join("v1");
    auto pc = rig.connectionOf("v1");
    EXPECT_EQ(controller.viewerCount(), 1);
    EXPECT_FALSE(controller.peer("v1")->authed);
    EXPECT_FALSE(pc->sender()->parameters().encodings[0].active);
    EXPECT_TRUE(rig.notifier->posted.isEmpty());

    rig.openChannel("v1");
    auto channel = pc->channel("input");
    ASSERT_TRUE(waitFor([&] { return !channel->sentText().isEmpty(); }));
    EXPECT_EQ(channel->sentText().first(), QByteArray(R"({"max":8,"min":4,"t":"auth-required"})"));

    channel->receive(R"({"t":"key","code":"KeyA","d":true})");
    channel->receive(R"({"t":"clip-get"})");
    // The record cannot be used: no PIN matches it.
    channel->receive(R"({"t":"auth","pin":"1234"})");
    ASSERT_TRUE(waitFor([&] { return channel->sentText().contains(R"({"left":0,"t":"auth-fail"})"); }));
    EXPECT_FALSE(controller.peer("v1")->authed);
    // Neither the command nor the key had any effect: no toast for the empty clipboard.
    drainEvents();
    for (const auto& sent : channel->sentText())
        EXPECT_FALSE(sent.contains("toast")) << sent.constData();
    EXPECT_TRUE(rig.events->events.isEmpty());

    // Nobody authenticated it: the session ends when its time is up.
    EXPECT_TRUE(waitFor([&] { return controller.viewerCount() == 0; }, 2000));

    // An authenticated phone keeps its session past that time.
    join("v2");
    rig.openChannel("v2");
    settle();
    controller.peer("v2")->authed = true;
    // A phone that joins later and never authenticates is the sentinel: once its time is up,
    // so is v2's.
    join("v3");
    rig.openChannel("v3");
    EXPECT_TRUE(waitFor([&] { return !controller.peer("v3"); }, 2000));
    EXPECT_TRUE(controller.peer("v2"));
    EXPECT_EQ(controller.viewerCount(), 1);
}

TEST_F(HostControllerPeerTest, TheStateWaitsForTheScreensSize)
{
    // On Wayland the size comes with the screen cast's first frame, after the channel may open.
    rig.events->bounds = QRect();
    startLinked();
    join("v1");
    rig.openChannel("v1");
    auto channel = rig.connectionOf("v1")->channel("input");
    settle();
    pump(3 * HostController::kDisplayPollMs);
    EXPECT_TRUE(channel->sentText().isEmpty());
    rig.events->bounds = QRect(0, 0, 1280, 720);
    EXPECT_TRUE(waitFor([&] { return channel->sentText().size() >= 3; }));
    EXPECT_EQ(channel->sentText().mid(0, 2), (QList<QByteArray> { R"({"h":720,"t":"screen","w":1280})",
                                                                  R"({"clipSync":true,"t":"caps"})" }));
    EXPECT_TRUE(channel->sentText()[2].contains(R"("t":"ime")"));

    // A phone that leaves while it waits is sent nothing, and nothing is left behind.
    rig.events->bounds = QRect();
    join("v2");
    rig.openChannel("v2");
    auto other = rig.connectionOf("v2")->channel("input");
    settle();
    signal({ { "type", "viewer-leave" }, { "from", "v2" } });
    settle();
    rig.events->bounds = QRect(0, 0, 1280, 720);
    pump(3 * HostController::kDisplayPollMs);
    EXPECT_TRUE(other->sentText().isEmpty());
}

TEST_F(HostControllerPeerTest, AuthenticatedPhoneGetsItsStateAndItsCommandsRouted)
{
    startLinked();
    join("v1");
    rig.openChannel("v1");
    auto pc = rig.connectionOf("v1");
    auto channel = pc->channel("input");
    // No PIN: the state comes as soon as the channel opens.
    EXPECT_TRUE(waitFor([&] { return channel->sentText().size() >= 3; }));
    EXPECT_EQ(channel->sentText().mid(0, 2), (QList<QByteArray> { R"({"h":1080,"t":"screen","w":1920})",
                                                                  R"({"clipSync":true,"t":"caps"})" }));
    EXPECT_TRUE(channel->sentText()[2].contains(R"("t":"ime")"));
    channel->receive(R"({"t":"clip-get"})");
    channel->receive(R"({"t":"key","code":"KeyA","d":true})");
    ASSERT_TRUE(waitFor([&] { return rig.events->events == QStringList { "key 30 down" }; }));
    ASSERT_TRUE(waitFor([&] { return channel->sentText().size() == 4; }));
    EXPECT_EQ(channel->sentText()[3], QByteArray(R"({"t":"toast","text":"電腦的剪貼簿是空的"})"));

    // Quality is the controller's own: the sender changes level and the phone is told.
    channel->receive(R"({"t":"quality","level":"low"})");
    ASSERT_TRUE(waitFor([&] { return pc->sender()->parameters().encodings[0].maxBitrateBps == 800'000; }));
    ASSERT_TRUE(waitFor([&] { return !channel->sentText().isEmpty(); }));
    EXPECT_EQ(channel->sentText().last(), QByteArray(R"({"t":"toast","text":"已切換省流量模式"})"));
    channel->receive(R"({"t":"quality","level":7})");
    ASSERT_TRUE(waitFor([&] { return pc->sender()->parameters().encodings[0].maxBitrateBps == 12'000'000; }));
    ASSERT_TRUE(waitFor([&] { return channel->sentText().last() == QByteArray(R"({"t":"toast","text":"已恢復一般畫質"})"); }));

    // A phone without video gets no toast for it.
    rig.factory->failSenders = true;
    join("v2");
    rig.openChannel("v2");
    auto blind = rig.connectionOf("v2")->channel("input");
    blind->receive(R"({"t":"quality","level":"low"})");
    settle();
    for (const QByteArray& text : blind->sentText())
        EXPECT_FALSE(text.contains("toast")) << text.constData();
}

TEST_F(HostControllerPeerTest, UnusableAnswersAndSilentPhonesEndOnlyTheirSession)
{
    rig.env.connectTimeoutMs = 300;
    auto& controller = startLinked();
    join("stays");
    join("silent");
    rig.connectionOf("stays")->setConnectionState(rtc::PeerConnectionState::Connected);
    // Nobody connects "silent": its session ends when the time is up; the connected one stays.
    ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 1; }, 2000));
    EXPECT_TRUE(controller.peer("stays"));

    // An answer that cannot be applied ends that phone's session only.
    join("garbled");
    ASSERT_EQ(controller.viewerCount(), 2);
    rig.factory->failRemoteDescriptions = true;
    signal({ { "type", "answer" }, { "from", "garbled" }, { "sdp", "not sdp" } });
    ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 1; }));
    EXPECT_TRUE(controller.peer("stays"));
    EXPECT_FALSE(controller.peer("garbled"));
}

TEST_F(HostControllerPeerTest, SessionsAreBounded)
{
    auto& controller = startLinked();
    for (int i = 0; i < 10; ++i)
        join(QStringLiteral("v%1").arg(i));
    EXPECT_TRUE(waitFor([&] { return server.receivedOfType("rejected").size() == 2; }));
    EXPECT_EQ(controller.viewerCount(), 8);
    EXPECT_EQ(rig.factory->connections().size(), 8);
    for (const auto& rejected : server.receivedOfType("rejected"))
        EXPECT_EQ(rejected.value("reason").toString(), QStringLiteral("連線的手機太多了，請稍後再試"));
    EXPECT_EQ(rig.notifier->posted.size(), 8);

    // A phone already in the table may join again at the cap; it is not counted twice.
    join("v3");
    EXPECT_EQ(controller.viewerCount(), 8);
    EXPECT_EQ(rig.factory->connections().size(), 9);
    EXPECT_EQ(server.receivedOfType("rejected").size(), 2);

    signal({ { "type", "viewer-leave" }, { "from", "v0" } });
    signal({ { "type", "viewer-leave" }, { "from", "unknown" } });
    EXPECT_TRUE(waitFor([&] { return controller.viewerCount() == 7; }));
    join("late");
    EXPECT_EQ(controller.viewerCount(), 8);
}

TEST_F(HostControllerPeerTest, OneBadMessageDoesNotEndAWorkingSession)
{
    auto& controller = startLinked();
    join("v1");
    auto pc = rig.connectionOf("v1");
    // A relay that delivers the answer twice: the first counts, the second is not even tried.
    signal({ { "type", "answer" }, { "from", "v1" }, { "sdp", "v=0 first" } });
    signal({ { "type", "answer" }, { "from", "v1" }, { "sdp", "v=0 again" } });
    // A candidate the connection refuses is dropped; the session goes on.
    rig.factory->failCandidates = true;
    signal({ { "type", "candidate" }, { "from", "v1" }, { "candidate", QJsonObject { { "candidate", "candidate:broken" } } } });
    settle();
    EXPECT_EQ(controller.viewerCount(), 1);
    EXPECT_EQ(controller.peer("v1")->pc, pc);
    EXPECT_EQ(pc->remoteDescriptionCalls(), 1);
    EXPECT_EQ(pc->remoteDescription()->sdp, QStringLiteral("v=0 first"));
    EXPECT_FALSE(pc->closed());
}

TEST_F(HostControllerPeerTest, AConnectedPhoneIsNeverTimedOutForJoining)
{
    rig.env.connectTimeoutMs = 300;
    auto& controller = startLinked();
    join("v1");
    auto pc = rig.connectionOf("v1");
    pc->setConnectionState(rtc::PeerConnectionState::Connected);
    // Briefly disconnected just as the join's time runs out: it stays.
    pc->setConnectionState(rtc::PeerConnectionState::Disconnected);
    join("never");
    // Once the later join has timed out, the earlier one's time has passed too.
    ASSERT_TRUE(waitFor([&] { return !controller.peer("never"); }, 2000));
    settle();
    EXPECT_EQ(controller.peer("v1") ? controller.peer("v1")->pc : nullptr, pc);
    EXPECT_EQ(controller.viewerCount(), 1);
}

TEST_F(HostControllerPeerTest, InputHeldByAPhoneIsReleasedWhenItStallsOrLeavesAndKeyRepeatIsRestored)
{
    auto& controller = startLinked();
    join("v1");
    // The desktop's own repeat is off while phones are connected: phones send their repeats.
    EXPECT_EQ(rig.events->repeat, std::optional<bool>(false));
    EXPECT_TRUE(rig.settings->value(KeyRepeatGuard::kMarker).toBool());
    rig.openChannel("v1");
    auto pc = rig.connectionOf("v1");
    auto channel = pc->channel("input");
    channel->receive(R"({"t":"key","code":"KeyA","d":true})");
    ASSERT_TRUE(waitFor([&] { return rig.events->down.contains(30); }));

    // A stalled connection keeps its session, but not its keys.
    pc->setConnectionState(rtc::PeerConnectionState::Disconnected);
    EXPECT_TRUE(waitFor([&] { return !rig.events->down.contains(30); }));
    EXPECT_EQ(controller.viewerCount(), 1);

    channel->receive(R"({"t":"btn","b":0,"d":true})");
    ASSERT_TRUE(waitFor([&] { return rig.events->events.contains("button left down"); }));
    controller.closePeer("v1");
    EXPECT_EQ(rig.events->events.last(), QStringLiteral("button left up"));
    EXPECT_EQ(rig.events->repeat, std::optional<bool>(true));
    EXPECT_FALSE(rig.settings->contains(KeyRepeatGuard::kMarker));
}

TEST_F(HostControllerPeerTest, APhoneWhoseChannelOpensLearnsWhereThePointerIsAndHowItLooks)
{
    startLinked();
    rig.cursor->pos = QPoint(960, 270);
    QImage arrow(12, 20, QImage::Format_ARGB32_Premultiplied);
    arrow.fill(Qt::white);
    rig.cursor->current = CursorSource::Shape { 7, arrow, QPoint(1, 1) };
    join("v1");
    rig.openChannel("v1");
    auto channel = rig.connectionOf("v1")->channel("input");
    const auto sent = [&](const char* type) {
        for (const QByteArray& text : channel->sentText())
            if (text.contains(QByteArray("\"t\":\"") + type + "\""))
                return true;
        return false;
    };
    ASSERT_TRUE(waitFor([&] { return sent("cur") && sent("shape"); }));
    EXPECT_TRUE(channel->sentText().contains(QByteArray(R"({"t":"cur","x":0.5,"y":0.25})")));
}

TEST_F(HostControllerPeerTest, InputSourceCommandsAnswerAndEverySwitchReachesThePhones)
{
    startLinked();
    rig.layouts->all = { { "xkb:us", "English (US)" }, { "xkb:de", "German" } };
    join("v1");
    rig.openChannel("v1");
    auto channel = rig.connectionOf("v1")->channel("input");
    const auto sent = [&](const QByteArray& text) { return channel->sentText().contains(text); };

    channel->receive(R"({"t":"ime-list"})");
    EXPECT_TRUE(waitFor([&] {
        return sent(R"x({"list":[{"id":"xkb:us","name":"English (US)","selected":true},)x"
                    R"x({"id":"xkb:de","name":"German","selected":false}],"t":"ime-list"})x");
    }));
    channel->receive(R"({"t":"ime-select","id":7})");
    channel->receive(R"({"t":"ime-next"})");
    const QByteArray german(R"({"id":"xkb:de","labels":{},"name":"German","t":"ime","zhuyin":false})");
    EXPECT_TRUE(waitFor([&] { return sent(german); }));
    EXPECT_EQ(rig.layouts->current, "xkb:de");
    EXPECT_EQ(channel->sentText().count(german), 1);

    channel->receive(R"({"t":"ime-select","id":"xkb:us"})");
    EXPECT_TRUE(waitFor([&] { return rig.layouts->current == "xkb:us"; }));
    // A switch made at the computer is told too.
    rig.layouts->select("xkb:de");
    EXPECT_TRUE(waitFor([&] { return channel->sentText().count(german) == 2; }));
}

TEST_F(HostControllerPeerTest, APinThatCannotBeReadKeepsPhonesOutUntilItCanBe)
{
    rig.keychain->setUnreadable(AccessPIN::kService, true);
    rig.env.pinRetryMs = 50;
    auto& controller = startLinked();
    EXPECT_TRUE(controller.pinEnabled());
    join("v1");
    EXPECT_FALSE(controller.peer("v1")->authed);
    rig.openChannel("v1");
    auto channel = rig.connectionOf("v1")->channel("input");
    ASSERT_TRUE(waitFor([&] { return !channel->sentText().isEmpty(); }));
    EXPECT_EQ(channel->sentText().first(), QByteArray(R"({"max":8,"min":4,"t":"auth-required"})"));
    EXPECT_EQ(controller.pin().verify("1234").kind, AccessPIN::Result::Kind::Failed);

    // The keyring answers again, with no record: phones need no PIN from then on.
    rig.keychain->setUnreadable(AccessPIN::kService, false);
    EXPECT_TRUE(waitFor([&] { return !controller.pinEnabled(); }));
    join("v2");
    EXPECT_TRUE(controller.peer("v2")->authed);
}

TEST_F(HostControllerPeerTest, TheRightPinLetsAPhoneInAndFiveWrongOnesLockEveryPhoneOut)
{
    rig.keychain->write(AccessPIN::kService, AccessPIN::kAccount, AccessPIN::makeRecord("1234", QByteArray(16, '\7')));
    rig.env.lockoutCloseMs = 50;
    // Each PIN check blocks the main thread for a while (longer under a sanitizer): the rig's
    // 200 ms pong deadline would end every session in between.
    rig.env.signalingTiming.heartbeatMs = 20000;
    rig.env.signalingTiming.pongDeadlineMs = 10000;
    auto& controller = startLinked();
    ASSERT_TRUE(controller.pinEnabled());
    EXPECT_TRUE(rig.notifier->posted.isEmpty());

    join("v1");
    rig.openChannel("v1");
    auto pc = rig.connectionOf("v1");
    auto channel = pc->channel("input");
    const auto replies = [&] { return channel->sentText(); };
    ASSERT_TRUE(waitFor([&] { return replies().size() == 1; }));

    // A flood of "auth" while one is on its way costs one check.
    for (int i = 0; i < 30; ++i)
        channel->receive(R"({"t":"auth","pin":"0000"})");
    ASSERT_TRUE(waitFor([&] { return replies().size() == 2; }));
    settle();
    EXPECT_EQ(replies(), (QList<QByteArray> { R"({"max":8,"min":4,"t":"auth-required"})", R"({"left":4,"t":"auth-fail"})" }));
    EXPECT_FALSE(pc->sender()->parameters().encodings[0].active);

    channel->receive(R"({"t":"auth","pin":"1234"})");
    ASSERT_TRUE(waitFor([&] { return replies().size() == 6; }));
    EXPECT_EQ(replies().mid(2, 3), (QList<QByteArray> { R"({"t":"auth-ok"})", R"({"h":1080,"t":"screen","w":1920})",
                                                        R"({"clipSync":true,"t":"caps"})" }));
    EXPECT_TRUE(replies()[5].startsWith(R"({"id":"xkb:us",)"));
    EXPECT_TRUE(controller.peer("v1")->authed);
    EXPECT_TRUE(pc->sender()->parameters().encodings[0].active);
    EXPECT_EQ(rig.notifier->posted.size(), 1);
    // A second "auth" gets no answer.
    channel->receive(R"({"t":"auth","pin":"0000"})");
    settle();
    EXPECT_EQ(replies().size(), 6);

    // Another phone (the right PIN reset the count): four wrong, then the fifth locks; a second later it is rejected and gone.
    join("v2");
    rig.openChannel("v2");
    auto second = rig.connectionOf("v2")->channel("input");
    for (int left : { 4, 3, 2, 1 }) {
        second->receive(R"({"t":"auth","pin":"9999"})");
        const QByteArray reply = QStringLiteral(R"({"left":%1,"t":"auth-fail"})").arg(left).toUtf8();
        ASSERT_TRUE(waitFor([&] { return second->sentText().contains(reply); })) << reply.constData();
    }
    second->receive(R"({"t":"auth","pin":"9999"})");
    ASSERT_TRUE(waitFor([&] { return second->sentText().contains(R"({"seconds":300,"t":"auth-locked"})"); }))
        << second->sentText().join('|').constData();
    ASSERT_TRUE(waitFor([&] { return !sentTo("v2", "rejected").isEmpty(); }));
    EXPECT_EQ(sentTo("v2", "rejected")[0].value("reason").toString(), QStringLiteral("密碼錯太多次，5 分鐘後再試"));
    EXPECT_TRUE(waitFor([&] { return !controller.peer("v2"); }));

    // The lock holds for every phone, even with the right PIN.
    join("v3");
    rig.openChannel("v3");
    auto third = rig.connectionOf("v3")->channel("input");
    third->receive(R"({"t":"auth","pin":"1234"})");
    ASSERT_TRUE(waitFor([&] { return !sentTo("v3", "rejected").isEmpty(); }));
    EXPECT_TRUE(third->sentText().last().contains(R"("t":"auth-locked")"));
    EXPECT_TRUE(waitFor([&] { return !controller.peer("v3"); }));
    EXPECT_TRUE(controller.peer("v1"));
}
