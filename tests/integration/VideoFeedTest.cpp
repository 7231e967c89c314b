// What a phone's feed passes to its appsrc before and after the phone is connected, and when
// the phone falls behind. The appsrc's output is blocked, so everything the feed sends stays in
// its queue and can be counted at once.

#include "WebRTC/GstSupport.h"
#include "WebRTC/GstVideoFeed.h"
#include "support/Wait.h"

#include <gst/app/gstappsrc.h>

#include <atomic>

#include <gtest/gtest.h>

using namespace rtc::gst;

namespace {
struct FeedRig {
    FeedRig()
    {
        pipeline.reset(gst_parse_launch("appsrc name=src format=time ! fakesink sync=false", nullptr));
        appsrc.reset(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
        caps = gst_caps_from_string("video/x-h264,stream-format=byte-stream,alignment=au");
        block();
        gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    }
    ~FeedRig()
    {
        feed.reset();
        unblock();
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        gst_caps_unref(caps);
    }

    void make(bool connected)
    {
        feed = std::make_unique<VideoFeed>(Ref<GstElement>(GST_ELEMENT(gst_object_ref(appsrc.get()))), connected,
                                           [this] { ++keyFramesAsked; });
    }
    void push(bool key)
    {
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, 16, nullptr);
        if (!key)
            GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        feed->push(buffer, caps);
        gst_buffer_unref(buffer);
    }
    // What the feed handed to the appsrc and the phone has not taken: in its queue, or the
    // one buffer its streaming thread may already hold at the block.
    guint64 queued() const { return gst_app_src_get_current_level_buffers(GST_APP_SRC(appsrc.get())) + held; }

    void block()
    {
        GstPad* pad = gst_element_get_static_pad(appsrc.get(), "src");
        probe = gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BLOCK_DOWNSTREAM,
                                  [](GstPad*, GstPadProbeInfo* info, gpointer data) {
                                      if (info->type & GST_PAD_PROBE_TYPE_BUFFER)
                                          ++static_cast<FeedRig*>(data)->held;
                                      return GST_PAD_PROBE_OK;
                                  },
                                  this, nullptr);
        gst_object_unref(pad);
    }
    void unblock()
    {
        if (!probe)
            return;
        GstPad* pad = gst_element_get_static_pad(appsrc.get(), "src");
        gst_pad_remove_probe(pad, probe);
        gst_object_unref(pad);
        probe = 0;
        held = 0;
    }

    Ref<GstElement> pipeline;
    Ref<GstElement> appsrc;
    GstCaps* caps = nullptr;
    gulong probe = 0;
    std::atomic<guint64> held { 0 };
    std::atomic<int> keyFramesAsked { 0 };
    std::unique_ptr<VideoFeed> feed;
};
} // namespace

TEST(VideoFeedTest, BeforeTheConnectionItHoldsFromTheLatestKeyFrameAndSendsThatOnce)
{
    ASSERT_TRUE(ensureInitialised());
    FeedRig rig;
    rig.make(false);
    rig.push(false); // no key frame before it: useless
    rig.push(true);
    rig.push(false);
    rig.push(true); // a newer key frame replaces what was held
    rig.push(false);
    rig.push(false);
    EXPECT_EQ(rig.queued(), 0u);
    EXPECT_EQ(rig.keyFramesAsked, 0);

    EXPECT_TRUE(rig.feed->goLive());
    EXPECT_EQ(rig.queued(), 3u); // the newer key frame and the two after it
    EXPECT_FALSE(rig.feed->goLive());
    rig.push(false);
    EXPECT_EQ(rig.queued(), 4u);

    // Nothing held at the connection: the caller has to see to a key frame, and inter frames
    // before it are of no use.
    rig.make(false);
    rig.push(false);
    EXPECT_FALSE(rig.feed->goLive());
    rig.push(false);
    EXPECT_EQ(rig.queued(), 4u);
    rig.push(true);
    rig.push(false);
    EXPECT_EQ(rig.queued(), 6u);
}

TEST(VideoFeedTest, AConnectedPhoneMovedToARunningGroupStartsAtItsNextKeyFrame)
{
    ASSERT_TRUE(ensureInitialised());
    FeedRig rig;
    rig.make(true);
    rig.push(false); // made from pictures this phone never had
    rig.push(false);
    EXPECT_EQ(rig.queued(), 0u);
    EXPECT_EQ(rig.keyFramesAsked, 0); // the move itself asks the group for one
    rig.push(true);
    rig.push(false);
    EXPECT_EQ(rig.queued(), 2u);
}

TEST(VideoFeedTest, TooMuchToHoldIsDroppedAndAFreshKeyFrameAskedFor)
{
    ASSERT_TRUE(ensureInitialised());
    FeedRig rig;
    rig.make(false);
    rig.push(true);
    for (guint64 i = 1; i < VideoFeed::kMaxQueued; ++i)
        rig.push(false);
    EXPECT_EQ(rig.keyFramesAsked, 0);
    rig.push(false); // one more than it holds
    EXPECT_EQ(rig.keyFramesAsked, 1);
    rig.push(false); // no key frame since: still nothing to hold
    EXPECT_FALSE(rig.feed->goLive());
    EXPECT_EQ(rig.queued(), 0u);
}

TEST(VideoFeedTest, APhoneThatFallsBehindLosesWholePicturesOnly)
{
    ASSERT_TRUE(ensureInitialised());
    FeedRig rig;
    rig.make(true);
    rig.push(true);
    for (guint64 i = 1; i < VideoFeed::kMaxQueued; ++i)
        rig.push(false);
    EXPECT_EQ(rig.queued(), VideoFeed::kMaxQueued);
    rig.push(false); // the queue is full: dropped, and a key frame asked for once
    rig.push(true);  // still full: dropped too
    EXPECT_EQ(rig.queued(), VideoFeed::kMaxQueued);
    EXPECT_EQ(rig.keyFramesAsked, 1);

    // The phone catches up; inter frames stay dropped until the next key frame.
    rig.unblock();
    ASSERT_TRUE(waitFor([&] { return rig.queued() == 0; }));
    rig.block();
    rig.push(false);
    EXPECT_EQ(rig.queued(), 0u);
    rig.push(true);
    rig.push(false);
    EXPECT_EQ(rig.queued(), 2u);
    EXPECT_EQ(rig.keyFramesAsked, 1);
}
