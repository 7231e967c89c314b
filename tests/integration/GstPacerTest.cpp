// The pacer spreads packets over time at its rate, lists included, and lets everything go at
// once when stopped.

#include "WebRTC/GstPacer.h"
#include "WebRTC/GstSupport.h"
#include "support/Wait.h"

#include <gst/app/gstappsrc.h>

#include <QElapsedTimer>

#include <atomic>

#include <gtest/gtest.h>

using namespace rtc::gst;

namespace {
struct Pipeline {
    Ref<GstElement> pipeline { gst_pipeline_new(nullptr) };
    GstElement* source = gst_element_factory_make("appsrc", nullptr);
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    std::atomic<std::size_t> received { 0 };

    Pipeline()
    {
        g_object_set(source, "is-live", TRUE, "format", GST_FORMAT_TIME, "max-bytes", guint64(0), nullptr);
        g_object_set(sink, "sync", FALSE, "signal-handoffs", TRUE, nullptr);
        g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement*, GstBuffer* buffer, GstPad*, gpointer data) {
                             static_cast<Pipeline*>(data)->received += gst_buffer_get_size(buffer);
                         }),
                         this);
        gst_bin_add_many(GST_BIN(pipeline.get()), source, sink, nullptr);
        gst_element_link(source, sink);
        gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    }
    ~Pipeline() { gst_element_set_state(pipeline.get(), GST_STATE_NULL); }
    Ref<GstPad> pad() { return Ref<GstPad>(gst_element_get_static_pad(source, "src")); }
    // 1000 bytes whose RTP header says `payloadType`.
    static GstBuffer* packet(int payloadType = 96)
    {
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, 1000, nullptr);
        const guint8 header[2] = { 0x80, guint8(payloadType) };
        gst_buffer_fill(buffer, 0, header, 2);
        return buffer;
    }
};
} // namespace

TEST(GstPacerTest, PacketsAndListsLeaveAtTheRateAndAllAtOnceWhenStopped)
{
    ASSERT_TRUE(ensureInitialised());
    Pipeline p;
    auto pad = p.pad();
    // 800 kbit/s: 100 packets of 1000 bytes take a second, less the burst allowance.
    GstPacer pacer(pad.get(), 800'000);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 50; ++i)
        gst_app_src_push_buffer(GST_APP_SRC(p.source), Pipeline::packet());
    GstBufferList* list = gst_buffer_list_new();
    for (int i = 0; i < 50; ++i)
        gst_buffer_list_add(list, Pipeline::packet());
    gst_app_src_push_buffer_list(GST_APP_SRC(p.source), list);
    ASSERT_TRUE(waitFor([&] { return p.received >= 100'000; }, 3000)) << p.received;
    EXPECT_GE(clock.elapsed(), 1000 - GstPacer::kBurstMs - 100);

    // A higher rate takes effect at once; stopped, the rest goes without waiting.
    pacer.setRate(8'000'000);
    clock.restart();
    for (int i = 0; i < 100; ++i)
        gst_app_src_push_buffer(GST_APP_SRC(p.source), Pipeline::packet());
    ASSERT_TRUE(waitFor([&] { return p.received >= 200'000; }, 3000));
    EXPECT_GE(clock.elapsed(), 100 - GstPacer::kBurstMs - 20);
    pacer.setRate(8'000);
    for (int i = 0; i < 10; ++i)
        gst_app_src_push_buffer(GST_APP_SRC(p.source), Pipeline::packet());
    pacer.stop();
    EXPECT_TRUE(waitFor([&] { return p.received >= 210'000; }, 1000)) << "10 s of packets at 8 kbit/s, let go";
}

TEST(GstPacerTest, RetransmissionsGoOnlyWhenThereIsRoomNowAndWithinTheirShare)
{
    ASSERT_TRUE(ensureInitialised());
    Pipeline p;
    auto pad = p.pad();
    GstPacer pacer(pad.get(), 800'000); // 100 packets a second
    pacer.setMediaPayloadType(96);
    // The burst allowance (40 ms: 4 packets) takes the first retransmissions; the rest of a
    // flood is dropped instead of queued behind the media.
    for (int i = 0; i < 50; ++i)
        gst_app_src_push_buffer(GST_APP_SRC(p.source), Pipeline::packet(97));
    // Media after them waits its turn and gets through.
    for (int i = 0; i < 10; ++i)
        gst_app_src_push_buffer(GST_APP_SRC(p.source), Pipeline::packet(96));
    ASSERT_TRUE(waitFor([&] { return p.received >= 10'000; }, 3000)) << p.received;
    pump(300);
    EXPECT_LE(p.received, 20'000u) << "most of the retransmission flood was dropped";

    // With the media idle, retransmissions asked for one every 20 ms (50 a second) still
    // get no more than their share: 10 % of 100 packets a second.
    const std::size_t before = p.received;
    for (int i = 0; i < 50; ++i) {
        gst_app_src_push_buffer(GST_APP_SRC(p.source), Pipeline::packet(97));
        pump(20);
    }
    pump(100);
    const std::size_t resent = (p.received - before) / 1000;
    EXPECT_GE(resent, 7u);
    EXPECT_LE(resent, 13u);
}
