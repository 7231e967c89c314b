// Every RTP packet leaving the payloader carries the playout-delay extension (0, 0).

#include "WebRTC/GstPlayoutDelay.h"

#include "WebRTC/GstSupport.h"
#include "support/Wait.h"

#include <gst/app/gstappsrc.h>
#include <gst/rtp/rtp.h>

#include <gtest/gtest.h>

#include <atomic>

using namespace rtc::gst;

namespace {
GstBuffer* rtpPacket()
{
    GstBuffer* buffer = gst_rtp_buffer_new_allocate(100, 0, 0);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    gst_rtp_buffer_map(buffer, GST_MAP_WRITE, &rtp);
    gst_rtp_buffer_set_payload_type(&rtp, 102);
    gst_rtp_buffer_unmap(&rtp);
    return buffer;
}

// The playout-delay bytes a packet carries under `id`, or -1 when it has none.
int limitsOf(GstBuffer* buffer, int id)
{
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
        return -1;
    gpointer data = nullptr;
    guint size = 0;
    int limits = -1;
    if (gst_rtp_buffer_get_extension_onebyte_header(&rtp, guint8(id), 0, &data, &size) && size == 3) {
        const auto* bytes = static_cast<const guint8*>(data);
        limits = (bytes[0] << 16) | (bytes[1] << 8) | bytes[2];
    }
    gst_rtp_buffer_unmap(&rtp);
    return limits;
}
} // namespace

TEST(GstPlayoutDelayTest, PacketsAndListsLeaveWithZeroLimits)
{
    ASSERT_TRUE(ensureInitialised());
    GstBuffer* alone = rtpPacket();
    ASSERT_TRUE(GstPlayoutDelay::mark(alone, 9));
    EXPECT_EQ(limitsOf(alone, 9), 0);
    {
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        ASSERT_TRUE(gst_rtp_buffer_map(alone, GST_MAP_READ, &rtp));
        EXPECT_EQ(gst_rtp_buffer_get_payload_len(&rtp), 100u); // the payload is untouched
        EXPECT_EQ(gst_rtp_buffer_get_payload_type(&rtp), 102);
        gst_rtp_buffer_unmap(&rtp);
    }
    gst_buffer_unref(alone);
    GstBuffer* junk = gst_buffer_new_allocate(nullptr, 5, nullptr);
    EXPECT_FALSE(GstPlayoutDelay::mark(junk, 9));
    gst_buffer_unref(junk);

    Ref<GstElement> pipeline(gst_pipeline_new(nullptr));
    GstElement* source = gst_element_factory_make("appsrc", nullptr);
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    std::atomic<int> marked { 0 };
    std::atomic<int> seen { 0 };
    g_object_set(source, "is-live", TRUE, "format", GST_FORMAT_TIME, nullptr);
    g_object_set(sink, "sync", FALSE, "signal-handoffs", TRUE, nullptr);
    struct Counts {
        std::atomic<int>& marked;
        std::atomic<int>& seen;
    } counts { marked, seen };
    g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement*, GstBuffer* buffer, GstPad*, gpointer data) {
                         auto* counts = static_cast<Counts*>(data);
                         ++counts->seen;
                         counts->marked += limitsOf(buffer, 9) == 0;
                     }),
                     &counts);
    gst_bin_add_many(GST_BIN(pipeline.get()), source, sink, nullptr);
    ASSERT_TRUE(gst_element_link(source, sink));
    Ref<GstPad> pad(gst_element_get_static_pad(source, "src"));
    {
        GstPlayoutDelay delay(pad.get(), 9);
        gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
        gst_app_src_push_buffer(GST_APP_SRC(source), rtpPacket());
        GstBufferList* list = gst_buffer_list_new();
        for (int i = 0; i < 3; ++i)
            gst_buffer_list_add(list, rtpPacket());
        gst_app_src_push_buffer_list(GST_APP_SRC(source), list);
        ASSERT_TRUE(waitFor([&] { return seen >= 4; }, 3000));
        EXPECT_EQ(marked, 4);
    }
    // Gone with its owner: packets pass as they are.
    gst_app_src_push_buffer(GST_APP_SRC(source), rtpPacket());
    ASSERT_TRUE(waitFor([&] { return seen >= 5; }, 3000));
    EXPECT_EQ(marked, 4);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
}
