// GstPeerConnectionImpl: the video it sends, and its end.

#include "WebRTC/GstPeerConnection.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include "Platform/Linux/MemoryTuning.h"
#include "Support/SerialWorker.h"

#include <QLoggingCategory>
#include <QThread>

Q_DECLARE_LOGGING_CATEGORY(gstLog)

namespace rtc::gst {

void GstPeerConnectionImpl::connectVideo()
{
    QMutexLocker lock(&mutex_);
    if (!codec_ || !sinkPad_ || videoSource_ || closed_)
        return;
    GstElement* source = gst_element_factory_make("appsrc", nullptr);
    GstElement* payloader = nullptr;
    // No limit here: the feed decides what to drop, and drops whole pictures only.
    g_object_set(source, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", TRUE, "max-buffers", guint64(0),
                 "max-bytes", guint64(0), "block", FALSE, nullptr);
    if (*codec_ == Codec::H264) {
        payloader = gst_element_factory_make("rtph264pay", nullptr);
        g_object_set(payloader, "pt", guint(kH264PayloadType), "config-interval", -1, nullptr);
        gst_util_set_object_arg(G_OBJECT(payloader), "aggregate-mode", "zero-latency");
    } else {
        payloader = gst_element_factory_make("rtpvp8pay", nullptr);
        g_object_set(payloader, "pt", guint(kVp8PayloadType), nullptr);
        gst_util_set_object_arg(G_OBJECT(payloader), "picture-id-mode", "15-bit");
    }
    gst_bin_add_many(GST_BIN(pipeline_.get()), source, payloader, nullptr);
    GstPad* payloaderSrc = gst_element_get_static_pad(payloader, "src");
    const bool linked = gst_element_link(source, payloader) && gst_pad_link(payloaderSrc, sinkPad_.get()) == GST_PAD_LINK_OK;
    if (linked && pacer_)
        pacer_->setMediaPayloadType(payloadType(*codec_));
    // Not for VP8: the browser decodes it slowly (7–14 ms a 1080p frame here against 2 for
    // H.264), and without the jitter buffer's pacing a phone that falls behind drops frames
    // (measured: 9–13 frames a second instead of 15–20 on a busy 2-core machine).
    if (linked && playoutDelayId_ && *codec_ == Codec::H264)
        playoutDelay_ = std::make_unique<GstPlayoutDelay>(payloaderSrc, *playoutDelayId_);
    gst_object_unref(payloaderSrc);
    if (!linked) {
        qCWarning(gstLog) << "video does not link to webrtcbin for" << toString(*codec_);
        return;
    }
    // The phone asks for a key frame (PLI/FIR) upstream; the encoder of its group makes it.
    GstPad* sourcePad = gst_element_get_static_pad(source, "src");
    std::weak_ptr<GstPeerConnectionImpl> weak = weak_from_this();
    gst_pad_add_probe(sourcePad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM,
                      [](GstPad*, GstPadProbeInfo* info, gpointer data) {
                          GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
                          if (event && gst_video_event_is_force_key_unit(event)) {
                              if (auto self = static_cast<std::weak_ptr<GstPeerConnectionImpl>*>(data)->lock())
                                  self->refreshVideo();
                          }
                          return GST_PAD_PROBE_OK;
                      },
                      new std::weak_ptr<GstPeerConnectionImpl>(weak),
                      [](gpointer data) { delete static_cast<std::weak_ptr<GstPeerConnectionImpl>*>(data); });
    gst_object_unref(sourcePad);
    gst_element_sync_state_with_parent(payloader);
    gst_element_sync_state_with_parent(source);
    videoSource_ = source;
    qCDebug(gstLog) << "video linked as" << toString(*codec_) << "after" << age_.elapsed() << "ms";
    lock.unlock();
    startRateAdapter();
    watchDtls();
    subscribe();
}

void GstPeerConnectionImpl::startRateAdapter()
{
    QMutexLocker lock(&mutex_);
    if (rate_ || !webrtc_ || closed_ || !options_.adaptRate)
        return;
    std::weak_ptr<GstPeerConnectionImpl> weak = weak_from_this();
    rate_ = std::make_unique<GstRateAdapter>(webrtc_, pathLimits(), [weak](const BandwidthController::Target& target) {
        if (auto self = weak.lock())
            self->applyRate(target);
    });
}

void GstPeerConnectionImpl::applyRate(const BandwidthController::Target& target)
{
    QMutexLocker lock(&mutex_);
    if (pacer_)
        pacer_->setRate(int(target.bitrateBps * kPacingFactor));
    if (!group_ || !codec_ || !rate_ || !wanted_ || wanted_->encodings.empty())
        return;
    group_->setMemberRate(subscription_, target.bitrateBps, target.framerate);
    // The picture's size decides when the frame rate must give way; it is known once frames flow.
    const auto limits = pathLimits(group_->encodedSize());
    rate_->setLimits(limits);
    const int levelMax = limits.maxBps;
    if (!ladder_)
        return;
    // A rung moved, or another phone came or went at this level.
    ladder_->update(g_get_monotonic_time() / 1000, target.bitrateBps, levelMax);
    const LevelKey key = wantedLevel(*codec_);
    if (key == group_->key())
        return;
    qCDebug(gstLog) << "path carries" << target.bitrateBps / 1000 << "kbit/s: to the group of" << key.bitrate / 1000 << "kbit/s";
    lock.unlock();
    subscribe();
}

void GstPeerConnectionImpl::applySender(const RtpParameters& parameters)
{
    {
        QMutexLocker lock(&mutex_);
        wanted_ = parameters;
        if (!ladder_ && options_.adaptRate && !parameters.encodings.empty())
            ladder_.emplace(BandwidthController::kStartBps, levelMaxBps());
    }
    subscribe();
}

void GstPeerConnectionImpl::subscribe()
{
    QMutexLocker lock(&mutex_);
    const bool active = wanted_ && !wanted_->encodings.empty() && wanted_->encodings[0].active;
    if (!active || !video_ || closed_) {
        lock.unlock();
        unsubscribe();
        return;
    }
    if (!codec_ || !videoSource_) {
        // Until the answer names the codec, the encoder of the likely one (H.264, first in the
        // offer) starts on the screen, so that it is warm for the phone's first key frame.
        if (!codec_ && !warmGroup_) {
            warmGroup_ = video_->group(wantedLevel(Codec::H264));
            if (warmGroup_) {
                warmSubscription_ = warmGroup_->subscribe([](GstBuffer*, GstCaps*) {});
                video_->warm(*warmGroup_);
            }
        }
        return;
    }
    const LevelKey key = wantedLevel(*codec_);
    if (group_ && group_->key() == key)
        return;
    if (group_)
        group_->unsubscribe(subscription_);
    group_ = video_->group(key);
    if (!group_)
        return;
    // The feed is in place before the state is read, so a connection that comes up meanwhile
    // finds it (startVideo) or is seen here.
    auto* group = group_.get();
    auto feed = std::make_shared<VideoFeed>(Ref<GstElement>(GST_ELEMENT(gst_object_ref(videoSource_))),
                                            dtlsUp_ || state_ == PeerConnectionState::Connected,
                                            [group] { group->requestKeyFrame(); });
    feed_ = feed;
    subscription_ = group_->subscribe([feed](GstBuffer* buffer, GstCaps* caps) { feed->push(buffer, caps); });
    if (rate_) {
        // A new level: the path's rate so far, within the level's maximum.
        rate_->setLimits(pathLimits());
        const auto target = rate_->target();
        group_->setMemberRate(subscription_, target.bitrateBps, target.framerate);
    } else if (!options_.adaptRate) {
        group_->setMemberRate(subscription_, key.bitrate, key.framerate);
    }
    auto warm = std::exchange(warmGroup_, nullptr);
    lock.unlock();
    if (warm)
        warm->unsubscribe(warmSubscription_);
    // A new or changed level starts on a key frame of the current screen: at once when the
    // phone is connected, else held by the feed until it is.
    refreshVideo();
}

void GstPeerConnectionImpl::watchDtls()
{
    // DTLS is up a little before webrtcbin's own thread gets round to saying "connected"; the
    // video can go from then on.
    GstWebRTCRTPSender* rawSender = nullptr;
    if (transceiver_)
        g_object_get(transceiver_.get(), "sender", &rawSender, nullptr);
    const Ref<GstWebRTCRTPSender> sender(rawSender);
    GstWebRTCDTLSTransport* rawTransport = nullptr;
    if (sender)
        g_object_get(sender.get(), "transport", &rawTransport, nullptr);
    const Ref<GstWebRTCDTLSTransport> transport(rawTransport);
    if (!transport || !context_)
        return;
    auto onState = +[](GObject* object, GParamSpec*, gpointer data) {
        GstWebRTCDTLSTransportState state = GST_WEBRTC_DTLS_TRANSPORT_STATE_NEW;
        g_object_get(object, "state", &state, nullptr);
        if (state != GST_WEBRTC_DTLS_TRANSPORT_STATE_CONNECTED)
            return;
        if (auto self = static_cast<Context*>(data)->self.lock()) {
            self->dtlsUp_ = true;
            self->startVideo();
        }
    };
    QMutexLocker lock(&context_->mutex);
    if (closed_)
        return;
    // The transport lives as long as webrtcbin, which close() lets go of only after this
    // handler is disconnected.
    context_->handlers.push_back({ transport.get(), g_signal_connect(transport.get(), "notify::state", G_CALLBACK(onState), context_) });
}

void GstPeerConnectionImpl::startVideo()
{
    std::shared_ptr<VideoFeed> feed;
    std::shared_ptr<EncoderGroup> group;
    {
        QMutexLocker lock(&mutex_);
        feed = feed_;
        group = group_;
    }
    if (!feed)
        return;
    // What the feed held since its key frame goes out now. Without one, the key frame still
    // on its way will do, else a fresh one.
    if (feed->goLive())
        qCDebug(gstLog) << "video live with a held key frame after" << age_.elapsed() << "ms";
    if (!feed->sentKeyFrame() && group && !group->keyFrameOnItsWay())
        refreshVideo();
}

void GstPeerConnectionImpl::refreshVideo()
{
    std::shared_ptr<EncoderGroup> group;
    std::shared_ptr<GstVideoSource> video;
    {
        QMutexLocker lock(&mutex_);
        group = group_;
        video = video_;
    }
    if (!group || !video)
        return;
    video->refresh(group);
}

void GstPeerConnectionImpl::unsubscribe()
{
    std::shared_ptr<EncoderGroup> group;
    std::shared_ptr<EncoderGroup> warm;
    {
        QMutexLocker lock(&mutex_);
        group.swap(group_);
        warm.swap(warmGroup_);
        feed_.reset();
    }
    if (group)
        group->unsubscribe(subscription_);
    if (warm)
        warm->unsubscribe(warmSubscription_);
}

int GstPeerConnectionImpl::levelMaxBps() const
{
    return wanted_->encodings[0].maxBitrateBps.value_or(kDefaultBitrate);
}

BandwidthController::Limits GstPeerConnectionImpl::pathLimits(QSize size) const
{
    // A path is judged against the level, not against the rung it is on now.
    BandwidthController::Limits limits;
    if (wanted_ && !wanted_->encodings.empty()) {
        limits.maxBps = levelMaxBps();
        limits.maxFramerate = wanted_->encodings[0].maxFramerate.value_or(30);
    }
    if (!size.isEmpty())
        limits.size = size;
    return limits;
}

LevelKey GstPeerConnectionImpl::wantedLevel(Codec codec) const
{
    const auto& encoding = wanted_->encodings[0];
    LevelKey key;
    key.codec = codec;
    const int levelMax = levelMaxBps();
    key.bitrate = levelMax;
    key.framerate = encoding.maxFramerate.value_or(30);
    key.scaleDown = encoding.scaleResolutionDownBy.value_or(1.0);
    // The ladder keeps a slow path from dragging others down. A phone alone at its level has
    // no one to drag, and each move would cost it a key frame on the path least able to carry it.
    if (ladder_ && video_) {
        const auto sameLevel = [&](const std::shared_ptr<EncoderGroup>& group) { return group && group->key().sameLevelAs(key); };
        const int others = video_->viewersAtLevel(key) - sameLevel(group_) - sameLevel(warmGroup_);
        if (others > 0)
            key.bitrate = ladder_->ceiling(levelMax);
    }
    return key;
}

void GstPeerConnectionImpl::close()
{
    if (closed_.exchange(true))
        return;
    std::unique_ptr<GstRateAdapter> rate;
    std::unique_ptr<GstPacer> pacer;
    {
        QMutexLocker lock(&mutex_);
        rate.swap(rate_);
        pacer.swap(pacer_);
    }
    rate.reset();
    pacer.reset(); // what waits to leave goes at once: the pipeline is about to stop
    unsubscribe();
    // The channels' close is a stream reset that webrtcbin sends a moment later; the phone
    // sees its channels close only if the pipeline still runs by then.
    for (const auto& channel : channels_)
        channel->close();
    if (context_) {
        QMutexLocker lock(&context_->mutex);
        for (auto [object, handler] : context_->handlers)
            g_signal_handler_disconnect(object, handler);
        context_->handlers.clear();
    }
    Ref<GstElement> pipeline = std::move(pipeline_);
    webrtc_ = nullptr;
    {
        QMutexLocker lock(&mutex_);
        sinkPad_.reset();
        videoSource_ = nullptr;
        video_.reset();
    }
    transceiver_.reset();
    state_ = PeerConnectionState::Closed;
    if (pipeline) {
        unwatchBus(pipeline.get());
        endPipeline(std::move(pipeline), channels_);
    }
}

void GstPeerConnectionImpl::endPipeline(Ref<GstElement> owned, std::vector<std::shared_ptr<GstDataChannelImpl>> channels)
{
    // Off the caller's thread: waiting for the resets and stopping webrtcbin take a while.
    // (A job must be copyable, so the reference travels in a shared_ptr.)
    std::shared_ptr<GstElement> pipeline(owned.release(), ObjectUnref());
    SerialWorker::named("orbel.teardown").post([pipeline, channels = std::move(channels)]() mutable {
        QElapsedTimer waited;
        waited.start();
        // A close is carried out on webrtcbin's own thread, so a channel may still read as open
        // here; it is closing all the same, and its reset must reach the phone. A channel with
        // data still queued sends its reset only after that data, so it is given longer.
        auto closing = [&channels, &waited] {
            for (const auto& channel : channels) {
                const auto state = channel->state();
                if (state != DataChannelState::Open && state != DataChannelState::Closing)
                    continue;
                if (waited.elapsed() < kCloseWaitMs || channel->bufferedAmount() > 0)
                    return true;
            }
            return false;
        };
        while (closing() && waited.elapsed() < kCloseWaitQueuedMs)
            QThread::msleep(5);
        // A channel reads as closed once the phone's reset has arrived, but our answer to it is
        // still on its way out; without it the phone's side of the channel never closes.
        if (!channels.empty())
            QThread::msleep(kCloseLingerMs);
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        pipeline.reset();
        channels.clear();
        giveBackFreedMemory();
    });
}

} // namespace rtc::gst
