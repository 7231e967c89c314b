// The GStreamer WebRTC layer on its own: what it offers, where it gathers, and that sessions
// leave nothing behind. Chromium-facing behaviour is covered by the end-to-end suite.

#include "WebRTC/GstVideoSource.h"
#include "WebRTC/GstWebRTC.h"
#include "support/GstPhone.h"
#include "support/Wait.h"

#include <QDir>
#include <QMutex>
#include <QRegularExpression>

#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>

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
    // What the offer's callbacks write: they run on webrtcbin's thread, and may come after the
    // session is gone.
    struct Offer {
        QMutex mutex;
        QString sdp;
        std::atomic<bool> localSet { false };
    };
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<Offer> made = std::make_shared<Offer>();
    std::shared_ptr<rtc::PeerConnection> pc;
    std::shared_ptr<rtc::RtpSender> sender;
    std::shared_ptr<rtc::DataChannel> input, file;

    explicit Session(const std::shared_ptr<rtc::VideoTrack>& track)
    {
        pc = factory()->createPeerConnection({}, recorder);
        if (!pc)
            return;
        sender = pc->addTrack(track, { QStringLiteral("desk") });
        input = pc->createDataChannel(QStringLiteral("input"), { true });
        file = pc->createDataChannel(QStringLiteral("file"), { true });
        pc->createOffer([made = made, weak = std::weak_ptr<rtc::PeerConnection>(pc)](std::optional<rtc::SessionDescription> description,
                                                                                    const QString&) {
            const auto pc = weak.lock();
            if (!description || !pc)
                return;
            pc->setLocalDescription(*description, [made, sdp = description->sdp](bool ok, const QString&) {
                {
                    QMutexLocker lock(&made->mutex);
                    made->sdp = sdp;
                }
                made->localSet = ok;
            });
        });
    }
    bool localSet() const { return made->localSet; }
    QString offer() const
    {
        QMutexLocker lock(&made->mutex);
        return made->sdp;
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
    ASSERT_TRUE(waitFor([&] { return session.localSet(); }, 10000));

    const QString sdp = session.offer();
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
    ASSERT_TRUE(waitFor([&] { return session.localSet(); }, 10000));
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
        waitFor([&] { return warm.localSet(); }, 10000);
        warm.pc->close();
    }
    pump(500);
    const int baseline = threadCount();
    {
        std::vector<std::unique_ptr<Session>> sessions;
        for (int i = 0; i < 8; ++i)
            sessions.push_back(std::make_unique<Session>(track));
        for (auto& s : sessions)
            ASSERT_TRUE(waitFor([&] { return s->localSet(); }, 10000));
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
    // "Type count, " for each type with objects alive; empty when none is.
    // Objects of this type seen made while tracking (an address reused counts once).
    int seen(const std::string& type) const
    {
        return int(std::count_if(byAddress.begin(), byAddress.end(), [&](const auto& entry) { return entry.second.first == type; }));
    }
    std::string alive() const
    {
        std::map<std::string, int> byType;
        for (const auto& [address, entry] : byAddress)
            byType[entry.first] += entry.second;
        std::string text;
        for (const auto& [type, count] : byType)
            if (count > 0)
                text += type + " " + std::to_string(count) + ", ";
        return text;
    }
};

// A whole session with a phone: offer, answer, candidates both ways, then video and channels.
struct ConnectedSession {
    Session host;
    GstPhone phone;
    QMutex mutex;
    QList<rtc::IceCandidate> fromPhone;
    bool answered = false;

    explicit ConnectedSession(const std::shared_ptr<rtc::VideoTrack>& track)
        : host(track)
    {
        // The video goes out as the host sends it to a phone that may watch.
        auto parameters = host.sender->parameters();
        if (parameters.encodings.empty())
            parameters.encodings.emplace_back();
        for (auto& encoding : parameters.encodings)
            encoding.active = true;
        host.sender->setParameters(parameters);
    }
    // Drives the exchange from the test's thread until the phone has `packets` of video.
    bool run(int packets)
    {
        if (!waitFor([&] { return host.localSet(); }, 10000))
            return false;
        QString answer;
        bool replied = false;
        const auto fromThePhone = [this](const rtc::IceCandidate& candidate) {
            QMutexLocker lock(&mutex);
            fromPhone << candidate;
        };
        phone.answer(host.offer(), fromThePhone, [&](const QString& sdp) {
            QMutexLocker lock(&mutex);
            answer = sdp;
            replied = true;
        });
        if (!waitFor([&] { QMutexLocker lock(&mutex); return replied; }, 10000) || answer.isEmpty())
            return false;
        bool applied = false;
        host.pc->setRemoteDescription({ rtc::SessionDescription::Type::Answer, answer }, [&](bool ok, const QString&) { applied = ok; });
        if (!waitFor([&] { return applied; }, 10000))
            return false;
        int toPhone = 0;
        int toHost = 0;
        return waitFor([&] {
            {
                QMutexLocker lock(&host.recorder->mutex);
                for (; toPhone < host.recorder->candidates.size(); ++toPhone)
                    phone.addCandidate(host.recorder->candidates[toPhone]);
            }
            QList<rtc::IceCandidate> incoming;
            {
                QMutexLocker lock(&mutex);
                incoming = fromPhone.mid(toHost);
                toHost = int(fromPhone.size());
            }
            for (const auto& candidate : incoming)
                host.pc->addIceCandidate(candidate, [](bool, const QString&) {});
            return phone.connected() && phone.channelsAnnounced() >= 2 && phone.videoPackets() >= packets;
        }, 15000) || !(std::fprintf(stderr, "the phone: connected %d, %d channels, %d video packets\n", int(phone.connected()),
                                    phone.channelsAnnounced(), phone.videoPackets()), true);
    }
};

rtc::VideoFrame greyFrame(int width, int height)
{
    rtc::VideoFrame frame;
    frame.width = frame.strideY = frame.strideUV = width;
    frame.height = height;
    frame.data = std::make_shared<QByteArray>(qsizetype(width) * height * 3 / 2, char(128));
    return frame;
}
} // namespace

TEST(GstWebRTCTest, SessionsOpenedAndClosedLeaveNoObjectsBehind)
{
    // The leaks tracer must be in place before GStreamer starts: this test runs in a process of
    // its own under ctest.
    if (!gst_is_initialized())
        qputenv("GST_TRACERS", QByteArray(R"(leaks(filters="GstPromise,GstElement,GstPad,GstBuffer,GstBufferList,)"
                                          R"(GstBufferPool,GstSample",log-leaks-on-deinit=false))"));
    auto source = factory()->createVideoSource(true);
    auto track = factory()->createVideoTrack(source, QStringLiteral("screen"));
    GstTracer* tracer = leaksTracer();
    if (!tracer)
        GTEST_SKIP() << "GStreamer started before the leaks tracer could be set (run this test alone)";
    // The screen, as the capture would send it, until the test ends one way or another.
    struct Screen {
        std::atomic<bool> capturing { true };
        std::thread thread;
        explicit Screen(rtc::VideoSource& source)
            : thread([this, &source] {
                const rtc::VideoFrame frame = greyFrame(640, 360);
                while (capturing) {
                    source.pushFrame(frame);
                    std::this_thread::sleep_for(std::chrono::milliseconds(33));
                }
            })
        {
        }
        ~Screen() { stop(); }
        void stop()
        {
            capturing = false;
            if (thread.joinable())
                thread.join();
        }
    } screen(*source);
    {
        ConnectedSession warm(track); // first use of every plugin, and the process-wide DTLS certificate
        ASSERT_TRUE(warm.run(10));
        warm.host.pc->close();
    }
    pump(300);
    g_signal_emit_by_name(tracer, "activity-start-tracking");
    std::vector<std::weak_ptr<rtc::PeerConnection>> connections;
    constexpr int kSessions = 50;
    for (int i = 0; i < kSessions; ++i) {
        ConnectedSession session(track);
        ASSERT_TRUE(session.run(5)) << "session " << i << " did not carry video and its channels";
        connections.push_back(session.host.pc);
        session.host.pc->close();
    }
    screen.stop();
    LiveTally tally;
    const bool freed = waitFor([&] {
        tally.update(tracer);
        return tally.alive().empty();
    }, 10000);
    g_signal_emit_by_name(tracer, "activity-stop-tracking");
    gst_object_unref(tracer);
    EXPECT_TRUE(freed) << "still alive after " << kSessions << " sessions: " << tally.alive();
    EXPECT_GT(tally.seen("GstWebRTCBin"), 0) << "the tracer saw nothing";
    for (const auto& connection : connections)
        EXPECT_TRUE(connection.expired()) << "a closed connection is kept alive";
}
