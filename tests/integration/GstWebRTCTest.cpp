// The GStreamer WebRTC layer on its own: what it offers, where it gathers, and that sessions
// leave nothing behind. Chromium-facing behaviour is covered by the end-to-end suite.

#include "WebRTC/GstVideoSource.h"
#include "WebRTC/GstWebRTC.h"
#include "support/Wait.h"

#include <QDir>
#include <QMutex>
#include <QRegularExpression>

#include <gst/gst.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

namespace {
int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

struct Recorder : rtc::PeerConnectionObserver {
    QMutex mutex;
    QList<rtc::IceCandidate> candidates;
    void onIceCandidate(const rtc::IceCandidate& candidate) override
    {
        QMutexLocker lock(&mutex);
        candidates << candidate;
    }
    void onConnectionStateChange(rtc::PeerConnectionState) override {}
    int count()
    {
        QMutexLocker lock(&mutex);
        return int(candidates.size());
    }
};

std::shared_ptr<rtc::PeerConnectionFactory> factory()
{
    static auto made = rtc::makeGstPeerConnectionFactory({ .loopbackOnly = true });
    return made;
}

struct Session {
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<rtc::PeerConnection> pc;
    std::shared_ptr<rtc::RtpSender> sender;
    std::shared_ptr<rtc::DataChannel> input, file;
    QString offer;
    bool localSet = false;

    explicit Session(const std::shared_ptr<rtc::VideoTrack>& track)
    {
        pc = factory()->createPeerConnection({}, recorder);
        if (!pc)
            return;
        sender = pc->addTrack(track, { QStringLiteral("desk") });
        input = pc->createDataChannel(QStringLiteral("input"), { true });
        file = pc->createDataChannel(QStringLiteral("file"), { true });
        pc->createOffer([this](std::optional<rtc::SessionDescription> description, const QString&) {
            if (!description)
                return;
            pc->setLocalDescription(*description, [this, sdp = description->sdp](bool ok, const QString&) {
                offer = sdp;
                localSet = ok;
            });
        });
    }
};
} // namespace

TEST(GstWebRTCTest, OffersBothCodecsAndTwoChannelsAndGathersOnLoopbackOnly)
{
    ASSERT_TRUE(factory()) << "GStreamer WebRTC plugins missing";
    auto source = factory()->createVideoSource(true);
    auto track = factory()->createVideoTrack(source, QStringLiteral("screen"));
    Session session(track);
    ASSERT_TRUE(session.pc && session.sender && session.input && session.file);
    EXPECT_EQ(session.input->label(), QStringLiteral("input"));
    EXPECT_EQ(session.input->maxMessageSize(), 64u * 1024);
    ASSERT_TRUE(waitFor([&] { return session.localSet; }, 10000));

    const QString& sdp = session.offer;
    EXPECT_TRUE(sdp.contains(QRegularExpression(QStringLiteral("m=video \\d+ UDP/TLS/RTP/SAVPF 102 96"))));
    EXPECT_TRUE(sdp.contains(QStringLiteral("a=rtpmap:102 H264/90000")));
    EXPECT_TRUE(sdp.contains(QStringLiteral("packetization-mode=1")));
    // Constrained baseline at a level that covers up to 2560 pixels wide.
    EXPECT_TRUE(sdp.contains(QRegularExpression(QStringLiteral("a=fmtp:102 [^\r\n]*profile-level-id=42e033"))));
    EXPECT_TRUE(sdp.contains(QRegularExpression(QStringLiteral("a=fmtp:102 [^\r\n]*level-asymmetry-allowed=1"))));
    EXPECT_TRUE(sdp.contains(QStringLiteral("a=rtpmap:96 VP8/90000")));
    // Lost packets of either codec can be sent again.
    EXPECT_TRUE(sdp.contains(QRegularExpression(QStringLiteral("a=fmtp:\\d+ apt=102\r\n"))));
    EXPECT_TRUE(sdp.contains(QRegularExpression(QStringLiteral("a=fmtp:\\d+ apt=96\r\n"))));
    EXPECT_TRUE(sdp.contains(QStringLiteral("a=rtcp-fb:96 nack\r\n")));
    EXPECT_TRUE(sdp.contains(QStringLiteral("a=sendonly")));
    // The phone finds the screen by its stream id "desk"; the track is "screen".
    EXPECT_TRUE(sdp.contains(QStringLiteral("a=msid:desk screen\r\n")));
    EXPECT_TRUE(sdp.contains(QStringLiteral("m=application")));
    EXPECT_TRUE(sdp.contains(QStringLiteral("a=group:BUNDLE")));

    // Candidates come after the description and name only 127.0.0.1: nothing else is used.
    ASSERT_TRUE(waitFor([&] { return session.recorder->count() > 0; }, 10000));
    pump(1000);
    QMutexLocker lock(&session.recorder->mutex);
    for (const auto& candidate : session.recorder->candidates) {
        EXPECT_TRUE(candidate.candidate.contains(QStringLiteral(" 127.0.0.1 "))) << candidate.candidate.toStdString();
        EXPECT_TRUE(candidate.sdpMid.has_value());
        EXPECT_EQ(candidate.sdpMLineIndex, 0);
    }
}

TEST(GstWebRTCTest, BadDescriptionsAndCandidatesAreRefused)
{
    auto track = factory()->createVideoTrack(factory()->createVideoSource(true), QStringLiteral("screen"));
    Session session(track);
    ASSERT_TRUE(waitFor([&] { return session.localSet; }, 10000));
    std::optional<bool> applied;
    session.pc->setRemoteDescription({ rtc::SessionDescription::Type::Answer, QStringLiteral("garbage") },
                                     [&](bool ok, const QString&) { applied = ok; });
    ASSERT_TRUE(waitFor([&] { return applied.has_value(); }));
    EXPECT_FALSE(*applied);
    std::optional<bool> added;
    session.pc->addIceCandidate({ QStringLiteral("nonsense"), std::nullopt, 0 }, [&](bool ok, const QString&) { added = ok; });
    ASSERT_TRUE(added.has_value());
    EXPECT_FALSE(*added);
    session.pc->close();
}

TEST(GstWebRTCTest, AnActivePhoneWarmsTheLikelyEncoderBeforeItAnswersAndNoLonger)
{
    auto source = factory()->createVideoSource(true);
    auto* video = dynamic_cast<rtc::gst::GstVideoSource*>(source.get());
    ASSERT_TRUE(video);
    auto track = factory()->createVideoTrack(source, QStringLiteral("screen"));
    {
        Session session(track);
        ASSERT_TRUE(session.sender);
        auto parameters = session.sender->parameters();
        // A phone that still owes its PIN costs no encoder.
        parameters.encodings[0].active = false;
        ASSERT_TRUE(session.sender->setParameters(parameters));
        EXPECT_EQ(video->groupCount(), 0);
        // Once it may watch, H.264 at its level starts before the answer names the codec.
        parameters.encodings[0].active = true;
        ASSERT_TRUE(session.sender->setParameters(parameters));
        EXPECT_EQ(video->groupCount(), 1);
        parameters.encodings[0].active = false;
        ASSERT_TRUE(session.sender->setParameters(parameters));
        EXPECT_EQ(video->groupCount(), 0);
        parameters.encodings[0].active = true;
        ASSERT_TRUE(session.sender->setParameters(parameters));
        EXPECT_EQ(video->groupCount(), 1);
        session.pc->close();
    }
    EXPECT_EQ(video->groupCount(), 0);
}

TEST(GstWebRTCTest, SessionsLeaveNoThreadsBehind)
{
    auto track = factory()->createVideoTrack(factory()->createVideoSource(true), QStringLiteral("screen"));
    {
        Session warm(track); // first use of every plugin
        waitFor([&] { return warm.localSet; }, 10000);
        warm.pc->close();
    }
    pump(500);
    const int baseline = threadCount();
    {
        std::vector<std::unique_ptr<Session>> sessions;
        for (int i = 0; i < 8; ++i)
            sessions.push_back(std::make_unique<Session>(track));
        for (auto& s : sessions)
            ASSERT_TRUE(waitFor([&] { return s->localSet; }, 10000));
        EXPECT_GT(threadCount(), baseline);
        for (auto& s : sessions)
            s->pc->close();
    }
    EXPECT_TRUE(waitFor([&] { return threadCount() <= baseline; }, 10000)) << threadCount() << " > " << baseline;
}

namespace {
GstTracer* leaksTracer()
{
    GstTracer* found = nullptr;
    GList* tracers = gst_tracing_get_active_tracers();
    for (GList* item = tracers; item; item = item->next)
        if (!found && g_str_equal(G_OBJECT_TYPE_NAME(item->data), "GstLeaksTracer"))
            found = GST_TRACER(gst_object_ref(item->data));
    g_list_free_full(tracers, gst_object_unref);
    return found;
}

// Objects of the traced types made since tracking began and not yet freed, by type. Each
// checkpoint reports only what changed since the last one, so the tally is kept here.
struct LiveTally {
    std::map<std::string, std::pair<std::string, int>> byAddress;
    void update(GstTracer* tracer)
    {
        GstStructure* checkpoint = nullptr;
        g_signal_emit_by_name(tracer, "activity-get-checkpoint", &checkpoint);
        if (!checkpoint)
            return;
        auto walk = [&](const char* list, int delta) {
            const GValue* entries = gst_structure_get_value(checkpoint, list);
            for (guint i = 0; entries && i < gst_value_list_get_size(entries); ++i) {
                const GstStructure* entry = gst_value_get_structure(gst_value_list_get_value(entries, i));
                auto& live = byAddress[gst_structure_get_string(entry, "address")];
                if (delta > 0)
                    live.first = gst_structure_get_string(entry, "type-name");
                live.second = std::max(0, live.second + delta);
            }
        };
        walk("objects-created-list", 1);
        walk("objects-removed-list", -1);
        gst_structure_free(checkpoint);
    }
    int live(const char* typeName) const
    {
        int n = 0;
        for (const auto& [address, entry] : byAddress)
            if (entry.first == typeName)
                n += entry.second;
        return n;
    }
};
} // namespace

TEST(GstWebRTCTest, SessionsOpenedAndClosedLeaveNoObjectsBehind)
{
    // The leaks tracer must be in place before GStreamer starts: this test runs in a process of
    // its own under ctest.
    if (!gst_is_initialized())
        qputenv("GST_TRACERS", R"(leaks(filters="GstPromise,GstWebRTCBin,GstPipeline",log-leaks-on-deinit=false))");
    auto track = factory()->createVideoTrack(factory()->createVideoSource(true), QStringLiteral("screen"));
    GstTracer* tracer = leaksTracer();
    if (!tracer)
        GTEST_SKIP() << "GStreamer started before the leaks tracer could be set (run this test alone)";
    {
        Session warm(track); // first use of every plugin, and the process-wide DTLS certificate
        ASSERT_TRUE(waitFor([&] { return warm.localSet; }, 10000));
        warm.pc->close();
    }
    pump(300);
    g_signal_emit_by_name(tracer, "activity-start-tracking");
    std::vector<std::weak_ptr<rtc::PeerConnection>> connections;
    for (int i = 0; i < 20; ++i) {
        Session session(track);
        ASSERT_TRUE(waitFor([&] { return session.localSet; }, 10000));
        connections.push_back(session.pc);
        session.pc->close();
    }
    LiveTally tally;
    const bool freed = waitFor([&] {
        tally.update(tracer);
        return tally.live("GstPromise") == 0 && tally.live("GstWebRTCBin") == 0 && tally.live("GstPipeline") == 0;
    }, 10000);
    g_signal_emit_by_name(tracer, "activity-stop-tracking");
    gst_object_unref(tracer);
    EXPECT_TRUE(freed) << tally.live("GstPromise") << " promises, " << tally.live("GstWebRTCBin") << " webrtcbins, "
                       << tally.live("GstPipeline") << " pipelines still alive";
    for (const auto& connection : connections)
        EXPECT_TRUE(connection.expired()) << "a closed connection is kept alive";
}
