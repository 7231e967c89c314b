#include "WebRTC/GstVideoFeed.h"

#include <gst/app/gstappsrc.h>

namespace rtc::gst {

VideoFeed::VideoFeed(Ref<GstElement> appsrc, bool connected, std::function<void()> askKeyFrame)
    : source_(std::move(appsrc))
    , live_(connected)
    , askKeyFrame_(std::move(askKeyFrame))
{
}

VideoFeed::~VideoFeed()
{
    dropHeld();
    if (caps_)
        gst_caps_unref(caps_);
}

void VideoFeed::push(GstBuffer* buffer, GstCaps* caps)
{
    const bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    std::lock_guard lock(mutex_);
    if (!live_) {
        hold(buffer, caps, key);
        return;
    }
    const bool full = gst_app_src_get_current_level_buffers(GST_APP_SRC(source_.get())) >= kMaxQueued;
    if (full && !dropping_) {
        dropping_ = true;
        askKeyFrame_();
    }
    if (dropping_ && (full || !key))
        return;
    dropping_ = false;
    send(buffer, caps);
}

bool VideoFeed::goLive()
{
    std::lock_guard lock(mutex_);
    if (live_)
        return false;
    live_ = true;
    const bool any = !held_.empty();
    // What is held begins with a key frame.
    if (any)
        dropping_ = false;
    for (const auto& [buffer, caps] : held_)
        send(buffer, caps);
    dropHeld();
    return any;
}

void VideoFeed::hold(GstBuffer* buffer, GstCaps* caps, bool key)
{
    if (key)
        dropHeld();
    else if (held_.empty())
        return; // an inter frame is of no use without its key frame
    if (held_.size() >= kMaxQueued) {
        dropHeld();
        askKeyFrame_();
        return;
    }
    held_.emplace_back(gst_buffer_ref(buffer), gst_caps_ref(caps));
}

void VideoFeed::dropHeld()
{
    for (const auto& [buffer, caps] : held_) {
        gst_buffer_unref(buffer);
        gst_caps_unref(caps);
    }
    held_.clear();
}

void VideoFeed::send(GstBuffer* buffer, GstCaps* caps)
{
    auto* appsrc = GST_APP_SRC(source_.get());
    if (!caps_ || !gst_caps_is_equal(caps_, caps)) {
        gst_caps_replace(&caps_, caps);
        gst_app_src_set_caps(appsrc, caps_);
    }
    if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT))
        sentKey_ = true;
    GstBuffer* copy = gst_buffer_copy(buffer); // metadata only; the frame's memory is shared
    GST_BUFFER_PTS(copy) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DTS(copy) = GST_CLOCK_TIME_NONE;
    gst_app_src_push_buffer(appsrc, copy);
}

} // namespace rtc::gst
