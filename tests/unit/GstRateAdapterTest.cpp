// Reading the phone's receiver reports out of webrtcbin's statistics.

#include "WebRTC/GstRateAdapter.h"

#define GST_USE_UNSTABLE_API // webrtcbin's statistics types
#include <gst/webrtc/webrtc.h>

#include <gtest/gtest.h>

using rtc::gst::GstRateAdapter;

namespace {
using StructureRef = std::unique_ptr<GstStructure, decltype(&gst_structure_free)>;

StructureRef entry(const char* name, GstWebRTCStatsType type)
{
    StructureRef s(gst_structure_new_empty(name), &gst_structure_free);
    gst_structure_set(s.get(), "type", GST_TYPE_WEBRTC_STATS_TYPE, type, "timestamp", G_TYPE_DOUBLE, 1.0, nullptr);
    return s;
}

// A "get-stats" answer shaped as webrtcbin's: one structure per statistics object.
StructureRef answer(std::optional<double> fractionLost, const char* kind = "video", guint highest = 5000)
{
    StructureRef stats(gst_structure_new_empty("application/x-webrtc-stats"), &gst_structure_free);
    auto codec = entry("codec-stats-sink_0", GST_WEBRTC_STATS_CODEC);
    gst_structure_set(stats.get(), "codec-stats-sink_0", GST_TYPE_STRUCTURE, codec.get(), nullptr);
    auto out = entry("rtp-outbound-stream-stats_1234", GST_WEBRTC_STATS_OUTBOUND_RTP);
    gst_structure_set(out.get(), "bytes-sent", G_TYPE_UINT64, guint64(250'000), "kind", G_TYPE_STRING, kind, nullptr);
    gst_structure_set(stats.get(), "rtp-outbound-stream-stats_1234", GST_TYPE_STRUCTURE, out.get(), nullptr);
    if (fractionLost) {
        auto in = entry("rtp-remote-inbound-stream-stats_1234", GST_WEBRTC_STATS_REMOTE_INBOUND_RTP);
        StructureRef source(gst_structure_new("application/x-rtp-source-stats", "rb-exthighestseq", G_TYPE_UINT, highest,
                                              "rb-fractionlost", G_TYPE_UINT, guint(*fractionLost * 256), nullptr),
                            &gst_structure_free);
        gst_structure_set(in.get(), "kind", G_TYPE_STRING, kind, "fraction-lost", G_TYPE_DOUBLE, *fractionLost,
                          "round-trip-time", G_TYPE_DOUBLE, 0.042, "packets-lost", G_TYPE_INT64, gint64(7),
                          "gst-rtpsource-stats", GST_TYPE_STRUCTURE, source.get(), nullptr);
        gst_structure_set(stats.get(), "rtp-remote-inbound-stream-stats_1234", GST_TYPE_STRUCTURE, in.get(), nullptr);
    }
    return stats;
}
} // namespace

TEST(GstRateAdapterTest, ReadsTheVideosReceiverReportAndTellsANewOneFromTheSame)
{
    gst_init(nullptr, nullptr);
    const auto reading = GstRateAdapter::read(answer(0.0625).get());
    ASSERT_TRUE(reading);
    EXPECT_DOUBLE_EQ(reading->fractionLost, 0.0625);
    EXPECT_DOUBLE_EQ(reading->roundTripMs, 42);
    EXPECT_EQ(reading->packetsLost, 7);
    EXPECT_EQ(reading->highestSequence, 5000u);
    EXPECT_EQ(reading->bytesSent, 250'000u);

    EXPECT_TRUE(reading->sameReport(*GstRateAdapter::read(answer(0.0625).get())));
    EXPECT_FALSE(reading->sameReport(*GstRateAdapter::read(answer(0.0625, "video", 5100).get())));

    // Nothing to go on: no report yet, another kind of stream, no answer at all.
    EXPECT_FALSE(GstRateAdapter::read(answer(std::nullopt).get()));
    EXPECT_FALSE(GstRateAdapter::read(answer(0.5, "audio").get()));
    EXPECT_FALSE(GstRateAdapter::read(nullptr));
    StructureRef odd(gst_structure_new("application/x-webrtc-stats", "stray", G_TYPE_INT, 3, nullptr), &gst_structure_free);
    EXPECT_FALSE(GstRateAdapter::read(odd.get()));
}

TEST(GstRateAdapterTest, LossIsWeighedOverEveryPacketSinceTheLastReading)
{
    const GstRateAdapter::Reading before { .fractionLost = 0, .highestSequence = 1000, .packetsLost = 10 };
    // The latest report covered two packets and lost one; over the 200 sent, 4 were lost.
    GstRateAdapter::Reading now { .fractionLost = 0.5, .highestSequence = 1200, .packetsLost = 14 };
    EXPECT_DOUBLE_EQ(now.lossSince(before).value_or(-1), 0.02);
    // Late packets bring the total down: no negative loss.
    now.packetsLost = 8;
    EXPECT_DOUBLE_EQ(now.lossSince(before).value_or(-1), 0);
    // Too few packets since to tell (one lost of ten says nothing about the path), or a new
    // stream whose numbers start lower: no verdict.
    now.highestSequence = 1000 + GstRateAdapter::kLossSample - 1;
    now.packetsLost = 11;
    EXPECT_FALSE(now.lossSince(before));
    now.highestSequence = 300;
    EXPECT_FALSE(now.lossSince(before));
}
