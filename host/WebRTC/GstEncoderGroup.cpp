#include "WebRTC/GstEncoderGroup.h"

#include "WebRTC/GstChangedArea.h"
#include "WebRTC/GstX264Encoder.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <QLoggingCategory>

#include <algorithm>
#include <cmath>
#include <cstdlib>

Q_DECLARE_LOGGING_CATEGORY(gstLog)

namespace rtc::gst {

QSize scaledSize(QSize input, double scaleDown)
{
    if (scaleDown < 1.0)
        scaleDown = 1.0;
    const int width = std::max(2, int(input.width() / scaleDown) & ~1);
    const int height = std::max(2, int(input.height() / scaleDown) & ~1);
    return { width, height };
}

namespace {
GstElement* make(const char* factory, const char* name = nullptr)
{
    return gst_element_factory_make(factory, name);
}
} // namespace

int EncoderTuning::bufferMs(int bitrateBps) const
{
    const double share = std::clamp(double(bitrateBps) / kFullBufferBps, 0.0, 1.0);
    return std::max(slowBufferMs, int(std::lround(ceilingBufferMs * share)));
}

EncoderGroup::EncoderGroup(const LevelKey& key, const EncoderTuning& tuning)
    : key_(key)
    , bitrate_(std::min(key.bitrate, BandwidthController::kStartBps))
    , framerate_(key.framerate)
    , encoderSetting_(bitrate_.load())
    , bufferSetting_(tuning.bufferMs(bitrate_))
    , tuning_(tuning)
{
    pipeline_.reset(gst_pipeline_new(nullptr));
    source_ = make("appsrc");
    GstElement* scale = make("videoscale");
    GstElement* convert = make("videoconvert");
    scaleCaps_ = make("capsfilter");
    GstElement* codecCaps = make("capsfilter");
    GstElement* sink = make("appsink");
    encoder_ = key.codec == Codec::H264
        ? makeX264Encoder({ .preset = tuning.x264Preset, .crf = tuning.x264Crf, .qpMin = tuning.x264QpMin,
                            .keyIntMax = kKeyFrameDistance, .threads = tuning.x264Threads,
                            .bitrateKbps = std::max(1, bitrate_ / 1000), .bufferMs = bufferSetting_ })
        : make("vp8enc");

    g_object_set(source_, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", TRUE, "max-bytes", guint64(0),
                 "max-buffers", guint64(2), "leaky-type", 2 /* downstream: drop the oldest */, nullptr);
    g_object_set(scale, "method", 1 /* bilinear */, nullptr);
    if (key.codec == Codec::H264) {
        // The payloader needs whole access units in byte-stream form; phones decode constrained baseline.
        GstCaps* caps = gst_caps_from_string("video/x-h264,profile=constrained-baseline,stream-format=byte-stream,alignment=au");
        g_object_set(codecCaps, "caps", caps, nullptr);
        gst_caps_unref(caps);
    } else {
        // Constrained quality: aims at cq-level, never above the target bit rate. Where even
        // the coarsest quantizer is too big for the ceiling, frames are dropped (the frame rate
        // gives way before the picture size does).
        gst_util_set_object_arg(G_OBJECT(encoder_), "end-usage", "cq");
        g_object_set(encoder_, "cq-level", tuning.vp8CqLevel, "target-bitrate", bitrate_.load(), "deadline", gint64(1),
                     "cpu-used", 8, "lag-in-frames", 0, "dropframe-threshold", 30, "keyframe-max-dist", kKeyFrameDistance, "threads", 2,
                     "buffer-size", bufferSetting_.load(), "buffer-initial-size", bufferSetting_.load(),
                     "buffer-optimal-size", bufferSetting_.load(), nullptr);
        gst_util_set_object_arg(G_OBJECT(encoder_), "error-resilient", "default");
    }
    g_object_set(sink, "emit-signals", TRUE, "sync", FALSE, "max-buffers", guint(0), "drop", FALSE, nullptr);
    g_signal_connect(sink, "new-sample", G_CALLBACK(&EncoderGroup::onSample), this);

    gst_bin_add_many(GST_BIN(pipeline_.get()), source_, scale, convert, scaleCaps_, encoder_, codecCaps, sink, nullptr);
    if (!gst_element_link_many(source_, scale, convert, scaleCaps_, encoder_, codecCaps, sink, nullptr)) {
        qCWarning(gstLog) << "encoder group: elements do not link";
        pipeline_.reset();
        return;
    }
    watchBus(pipeline_.get(), "encoder");
    gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
}

EncoderGroup::~EncoderGroup()
{
    if (!pipeline_)
        return;
    {
        QMutexLocker lock(&mutex_);
        subscribers_.clear();
    }
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    unwatchBus(pipeline_.get());
    pipeline_.reset();
}

void EncoderGroup::setInputSize(QSize size)
{
    if (size == inputSize_)
        return;
    inputSize_ = size;
    GstCaps* raw = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "NV12", "width", G_TYPE_INT, size.width(),
                                       "height", G_TYPE_INT, size.height(), "framerate", GST_TYPE_FRACTION,
                                       int(std::lround(std::max(1.0, key_.framerate))), 1,
                                       "colorimetry", G_TYPE_STRING, "bt601", nullptr);
    gst_app_src_set_caps(GST_APP_SRC(source_), raw);
    gst_caps_unref(raw);
    const QSize out = scaledSize(size, key_.scaleDown);
    encodedWidth_ = out.width();
    encodedHeight_ = out.height();
    // x264 takes the captured NV12 as it is (no conversion at full size); VP8 wants I420.
    const char* format = key_.codec == Codec::H264 ? "NV12" : "I420";
    GstCaps* scaled = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, format, "width", G_TYPE_INT, out.width(),
                                          "height", G_TYPE_INT, out.height(), "colorimetry", G_TYPE_STRING, "bt601", nullptr);
    g_object_set(scaleCaps_, "caps", scaled, nullptr);
    gst_caps_unref(scaled);
}

void EncoderGroup::push(GstBuffer* buffer, QSize size, bool force)
{
    if (!pipeline_) {
        gst_buffer_unref(buffer);
        return;
    }
    QMutexLocker lock(&pushMutex_);
    foldChange(buffer, size);
    // At most `framerate` frames a second: a frame sooner than that after the last is dropped
    // (with a little slack, so a 30 fps capture is not halved by jitter).
    const qint64 now = clock_.isValid() ? clock_.nsecsElapsed() : (clock_.start(), 0);
    const qint64 interval = qint64(1e9 / std::max(1.0, framerate_.load()) * 0.8);
    if (lastPushNs_ >= 0 && now - lastPushNs_ < interval && !force) {
        gst_buffer_unref(buffer);
        return;
    }
    lastPushNs_ = now;
    // The frame says what changed since the frame before; the encoder needs what changed since
    // the last frame it was given. Other groups share the buffer: the meta goes on a copy.
    buffer = gst_buffer_make_writable(buffer);
    sincePushed_.pushed = ++pushed_;
    attachChangedArea(buffer, sincePushed_);
    sincePushed_.rects.clear();
    if (correctionPending_.exchange(false))
        configureEncoder();
    setInputSize(size);
    gst_app_src_push_buffer(GST_APP_SRC(source_), buffer);
}

void EncoderGroup::foldChange(GstBuffer* buffer, QSize size)
{
    const auto change = changedArea(buffer);
    const QRect whole(QPoint(0, 0), size);
    if (!change || change->frame == 0 || change->frameSize != size) {
        sincePushed_ = { size, { whole }, 0, 0 }; // not known: everything may have changed
        return;
    }
    if (change->frame == sincePushed_.frame + 1)
        sincePushed_.add(*change);
    else if (change->frame != sincePushed_.frame) // the same frame again changes nothing
        sincePushed_ = { size, { whole }, change->frame, 0 };
}

int EncoderGroup::subscribe(Subscriber subscriber)
{
    QMutexLocker lock(&mutex_);
    const int handle = nextHandle_++;
    subscribers_[handle] = std::move(subscriber);
    return handle;
}

void EncoderGroup::unsubscribe(int handle)
{
    QMutexLocker lock(&mutex_);
    subscribers_.erase(handle);
    if (memberRates_.erase(handle))
        applyMemberRates();
}

void EncoderGroup::setMemberRate(int handle, int bitrateBps, double framerate)
{
    QMutexLocker lock(&mutex_);
    if (!subscribers_.count(handle))
        return;
    memberRates_[handle] = { bitrateBps, framerate };
    applyMemberRates();
}

void EncoderGroup::configureEncoder()
{
    if (!encoder_)
        return;
    // Each change reconfigures the encoder: the window only when it moved noticeably.
    const int buffer = tuning_.bufferMs(bitrate_);
    if (const int before = bufferSetting_; std::abs(buffer - before) * 10 >= before) {
        bufferSetting_ = buffer;
        if (key_.codec != Codec::H264)
            g_object_set(encoder_, "buffer-size", buffer, "buffer-initial-size", buffer, "buffer-optimal-size", buffer, nullptr);
    }
    const int setting = std::max(1000, int(bitrate_ * correction_));
    if (key_.codec == Codec::H264)
        setX264Rate(encoder_, std::max(1, setting / 1000), bufferSetting_);
    if (setting == encoderSetting_.exchange(setting))
        return;
    if (key_.codec != Codec::H264)
        g_object_set(encoder_, "target-bitrate", setting, nullptr);
}

void EncoderGroup::measureOutput(std::size_t bytes)
{
    const gint64 now = g_get_monotonic_time();
    if (windowStartUs_ < 0)
        windowStartUs_ = now;
    windowBytes_ += bytes;
    const double seconds = double(now - windowStartUs_) / 1e6;
    if (seconds < kCorrectionWindowS)
        return;
    const double sent = double(windowBytes_) * 8 / seconds;
    const double aim = bitrate_;
    windowStartUs_ = now;
    windowBytes_ = 0;
    double correction = correction_;
    if (sent > aim * 1.1)
        correction = std::max(kMinCorrection, correction * aim / sent);
    else if (sent < aim * 0.9 && correction < 1)
        correction = std::min(1.0, correction * 1.1);
    if (correction != correction_) {
        correction_ = correction;
        correctionPending_ = true; // applied by the next push, outside the encoder's own locks
    }
}

void EncoderGroup::applyMemberRates()
{
    // Before anyone has said what their path carries: a rate most paths carry.
    int bitrate = memberRates_.empty() ? std::min(key_.bitrate, BandwidthController::kStartBps) : key_.bitrate;
    double framerate = key_.framerate;
    for (const auto& [handle, rate] : memberRates_) {
        bitrate = std::min(bitrate, rate.first);
        framerate = std::min(framerate, rate.second);
    }
    bitrate = std::max(bitrate, 1000);
    framerate_ = std::max(1.0, framerate);
    // Each change reconfigures the encoder's rate control: small steps are not worth it.
    const int current = bitrate_;
    if (bitrate != key_.bitrate && std::abs(bitrate - current) < current / 32)
        return;
    if (bitrate == current)
        return;
    bitrate_ = bitrate;
    configureEncoder();
    qCDebug(gstLog) << "encoder" << toString(key_.codec) << "aims at" << bitrate / 1000 << "kbit/s," << framerate << "fps";
}

double EncoderGroup::unchangedShare() const
{
    if (key_.codec != Codec::H264 || !encoder_)
        return 0;
    const X264Counters counters = x264Counters(encoder_);
    return counters.macroblocks ? double(counters.unchanged) / double(counters.macroblocks) : 0;
}

int EncoderGroup::subscribers() const
{
    QMutexLocker lock(&mutex_);
    return int(subscribers_.size());
}

void EncoderGroup::requestKeyFrame()
{
    QMutexLocker lock(&keyMutex_);
    keyWanted_ = true;
}

bool EncoderGroup::startKeyFrameIfDue()
{
    {
        QMutexLocker lock(&keyMutex_);
        if (!keyWanted_)
            return false;
        if (!keyClock_.isValid())
            keyClock_.start();
        const qint64 now = keyClock_.elapsed();
        if (lastKeyMs_ >= 0 && now - lastKeyMs_ < kKeyFrameIntervalMs)
            return false;
        keyWanted_ = false;
        lastKeyMs_ = now;
    }
    forceKeyFrame();
    return true;
}

void EncoderGroup::forceKeyFrame()
{
    if (!encoder_)
        return;
    keyForcedUs_ = g_get_monotonic_time();
    GstPad* pad = gst_element_get_static_pad(encoder_, "src");
    gst_pad_send_event(pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
    gst_object_unref(pad);
}

GstFlowReturn EncoderGroup::onSample(GstElement* sink, gpointer data)
{
    auto* self = static_cast<EncoderGroup*>(data);
    GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    if (!sample)
        return GST_FLOW_OK;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) {
        const gint64 forced = self->keyForcedUs_.exchange(-1);
        if (forced >= 0)
            qCDebug(gstLog) << "key frame out" << (g_get_monotonic_time() - forced) / 1000 << "ms after it was asked for,"
                            << gst_buffer_get_size(buffer) << "bytes";
    }
    self->lastOutputBytes_ = gst_buffer_get_size(buffer);
    self->measureOutput(gst_buffer_get_size(buffer));
    {
        QMutexLocker lock(&self->mutex_);
        for (auto& [handle, subscriber] : self->subscribers_)
            subscriber(buffer, caps);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

} // namespace rtc::gst
