#pragma once
// Feeds one encoder group's frames into one connection's appsrc (which stamps them with its own
// clock).
//
// Until the phone is connected nothing can reach it, so the feed keeps the pictures since the
// latest key frame and sends them the moment DTLS is up: the key frame is made while the
// handshake runs instead of after it.
//
// A phone that cannot keep up loses whole pictures only: once its queue is full everything is
// dropped up to the next key frame, which is asked for at once; dropping single inter frames
// would corrupt the picture until a key frame came by itself.

#include "WebRTC/GstSupport.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace rtc::gst {

class VideoFeed {
public:
    // Frames queued in the appsrc, or held, before the feed drops to the next key frame.
    static constexpr guint64 kMaxQueued = 8;

    // `askKeyFrame` asks the group for a key frame; it may be called on any thread.
    VideoFeed(Ref<GstElement> appsrc, bool connected, std::function<void()> askKeyFrame);
    ~VideoFeed();
    VideoFeed(const VideoFeed&) = delete;
    VideoFeed& operator=(const VideoFeed&) = delete;

    // One encoded frame from the group (on its streaming thread); the feed takes its own refs.
    void push(GstBuffer* buffer, GstCaps* caps);
    // The phone is connected: what was held goes out. Returns whether that began with a key
    // frame (false when nothing was held, or the feed was live already).
    bool goLive();
    // Whether a key frame has gone to the appsrc.
    bool sentKeyFrame() const { return sentKey_; }

private:
    void hold(GstBuffer* buffer, GstCaps* caps, bool key);
    void dropHeld();
    void send(GstBuffer* buffer, GstCaps* caps);

    std::mutex mutex_;
    Ref<GstElement> source_;
    bool live_;
    std::function<void()> askKeyFrame_;
    GstCaps* caps_ = nullptr; // the caps last set on the appsrc (our ref)
    // Inter frames are dropped until a key frame: at the start (a phone that moves to a group
    // already running would get pictures made from frames it never saw), and after a full queue.
    bool dropping_ = true;
    std::atomic<bool> sentKey_ { false };
    std::vector<std::pair<GstBuffer*, GstCaps*>> held_; // our refs
};

} // namespace rtc::gst
