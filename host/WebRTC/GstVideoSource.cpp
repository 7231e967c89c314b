#include "WebRTC/GstVideoSource.h"

#include "WebRTC/GstChangedArea.h"

#include <gst/video/video.h>

#include <QMutexLocker>

#include <cmath>

namespace rtc::gst {

GstBuffer* wrapFrame(const VideoFrame& frame)
{
    auto* keep = new std::shared_ptr<const QByteArray>(frame.data);
    GstBuffer* buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<char*>(frame.data->constData()),
                                                    gsize(frame.data->size()), 0, gsize(frame.data->size()), keep,
                                                    [](gpointer data) { delete static_cast<std::shared_ptr<const QByteArray>*>(data); });
    gsize offsets[GST_VIDEO_MAX_PLANES] = { 0, gsize(frame.strideY) * gsize(frame.height) };
    gint strides[GST_VIDEO_MAX_PLANES] = { frame.strideY, frame.strideUV };
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12, guint(frame.width),
                                   guint(frame.height), 2, offsets, strides);
    if (frame.number && frame.changed)
        attachChangedArea(buffer, ChangedArea { QSize(frame.width, frame.height), *frame.changed, frame.number, 0 });
    return buffer;
}

void GstVideoSource::pushFrame(const VideoFrame& frame)
{
    if (!frame.data || frame.width < 2 || frame.height < 2
        || frame.data->size() < qsizetype(frame.strideY) * frame.height + qsizetype(frame.strideUV) * (frame.height / 2))
        return;
    std::vector<std::shared_ptr<EncoderGroup>> live;
    {
        QMutexLocker lock(&mutex_);
        // An idle repeat of the last frame is not the screen sending one.
        if (!last_ || !frame.number || frame.number != last_->number)
            ++pushed_;
        last_ = frame;
        for (auto it = groups_.begin(); it != groups_.end();) {
            auto group = it->second.lock();
            if (!group) {
                it = groups_.erase(it);
                continue;
            }
            // A group nobody watches costs nothing: it gets no frames.
            if (group->subscribers() > 0)
                live.push_back(std::move(group));
            ++it;
        }
    }
    if (live.empty())
        return;
    GstBuffer* buffer = wrapFrame(frame);
    for (auto& group : live) {
        // A key frame asked for inside the last interval is made from this frame.
        const bool key = group->startKeyFrameIfDue();
        group->push(gst_buffer_ref(buffer), QSize(frame.width, frame.height), key);
        if (key)
            settle(group); // on a still screen the next frame may be an idle repeat, a second away
    }
    gst_buffer_unref(buffer);
}

std::shared_ptr<EncoderGroup> GstVideoSource::group(const LevelKey& key)
{
    QMutexLocker lock(&mutex_);
    if (auto existing = groups_[key].lock())
        return existing;
    auto made = std::make_shared<EncoderGroup>(key, tuning_);
    if (!made->valid())
        return nullptr;
    groups_[key] = made;
    return made;
}

void GstVideoSource::forgetLastFrame()
{
    QMutexLocker lock(&mutex_);
    last_.reset();
}

void GstVideoSource::refresh(const std::shared_ptr<EncoderGroup>& group)
{
    group->requestKeyFrame();
    {
        // Before capture's first frame there is nothing to send: that frame serves the request.
        QMutexLocker lock(&mutex_);
        if (!last_)
            return;
    }
    // Too soon after the last one, the next captured frame serves the request instead.
    if (group->startKeyFrameIfDue()) {
        pushLast(*group);
        settle(group);
    }
}

void GstVideoSource::settle(const std::shared_ptr<EncoderGroup>& group)
{
    struct Settling {
        std::weak_ptr<GstVideoSource> source;
        std::weak_ptr<EncoderGroup> group;
        uint64_t since;
        int sent = 0;
        int quiet = 0; // frames in a row that came out at most kSettledBytes
    };
    auto self = weak_from_this();
    if (self.expired())
        return;
    uint64_t since;
    {
        QMutexLocker lock(&mutex_);
        since = pushed_;
    }
    const guint intervalMs = guint(std::lround(1000 / std::max(1.0, group->key().framerate)));
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, intervalMs,
        [](gpointer data) -> gboolean {
            auto* settling = static_cast<Settling*>(data);
            const auto source = settling->source.lock();
            const auto group = settling->group.lock();
            if (!source || !group)
                return G_SOURCE_REMOVE;
            {
                QMutexLocker lock(&source->mutex_);
                if (source->pushed_ != settling->since)
                    return G_SOURCE_REMOVE; // the screen is sending frames itself
            }
            // x264's refinement is not steady: one small frame may come between large ones.
            settling->quiet = group->lastOutputBytes() <= kSettledBytes ? settling->quiet + 1 : 0;
            if (settling->sent >= kSettleFrames && settling->quiet >= kSettledFrames)
                return G_SOURCE_REMOVE;
            source->pushLast(*group, false);
            return ++settling->sent < kSettleFramesMost ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
        },
        new Settling { std::move(self), group, since }, [](gpointer data) { delete static_cast<Settling*>(data); });
}

void GstVideoSource::warm(EncoderGroup& group)
{
    pushLast(group);
}

void GstVideoSource::pushLast(EncoderGroup& group, bool force)
{
    std::optional<VideoFrame> frame;
    {
        QMutexLocker lock(&mutex_);
        frame = last_;
    }
    if (frame)
        group.push(wrapFrame(*frame), QSize(frame->width, frame->height), force);
}

int GstVideoSource::viewersAtLevel(const LevelKey& key) const
{
    QMutexLocker lock(&mutex_);
    int count = 0;
    for (const auto& [other, weak] : groups_) {
        if (!other.sameLevelAs(key))
            continue;
        if (const auto group = weak.lock())
            count += group->subscribers();
    }
    return count;
}

int GstVideoSource::groupCount() const
{
    QMutexLocker lock(&mutex_);
    int count = 0;
    for (const auto& [key, group] : groups_)
        count += !group.expired();
    return count;
}

} // namespace rtc::gst
