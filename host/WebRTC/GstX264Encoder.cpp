#include "WebRTC/GstX264Encoder.h"

#include "WebRTC/GstChangedArea.h"

#include <gst/video/gstvideoencoder.h>
#include <gst/video/video.h>

#include <QLoggingCategory>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>

extern "C" {
#include <x264.h>
}

Q_DECLARE_LOGGING_CATEGORY(gstLog)

namespace {

struct Private {
    std::mutex mutex; // guards settings and rateChanged: rates come from other threads
    rtc::gst::X264Settings settings;
    bool rateChanged = false;
    rtc::gst::X264Counters counters;

    // Streaming thread only.
    x264_t* x264 = nullptr;
    GstVideoInfo info {};
    int mbWidth = 0;
    int mbHeight = 0;
    bool havePushed = false;
    quint64 lastPushed = 0;
    gint64 pictures = 0;
};

} // namespace

struct VelquinX264Enc {
    GstVideoEncoder parent;
    Private* d;
};

struct VelquinX264EncClass {
    GstVideoEncoderClass parent_class;
};

G_DEFINE_TYPE(VelquinX264Enc, velquin_x264_enc, GST_TYPE_VIDEO_ENCODER)

namespace {

Private* privateOf(gpointer element)
{
    return reinterpret_cast<VelquinX264Enc*>(element)->d;
}

// How many x264 encoders are open in the process: one per level whatever the phones.
std::atomic<int> openEncoders { 0 };

void closeEncoder(Private* d)
{
    if (d->x264) {
        x264_encoder_close(d->x264);
        qCDebug(gstLog) << "x264 encoders open:" << --openEncoders;
    }
    d->x264 = nullptr;
    d->havePushed = false;
}

bool openEncoder(Private* d, const GstVideoInfo& info)
{
    closeEncoder(d);
    rtc::gst::X264Settings settings;
    {
        std::lock_guard lock(d->mutex);
        settings = d->settings;
        d->rateChanged = false;
    }
    x264_param_t param;
    if (x264_param_default_preset(&param, settings.preset.toUtf8().constData(), "zerolatency") < 0)
        return false;
    param.i_log_level = X264_LOG_ERROR;
    param.i_threads = std::max(1, settings.threads);
    param.b_sliced_threads = settings.threads > 1;
    param.i_width = GST_VIDEO_INFO_WIDTH(&info);
    param.i_height = GST_VIDEO_INFO_HEIGHT(&info);
    param.i_csp = X264_CSP_NV12;
    const bool rate = GST_VIDEO_INFO_FPS_N(&info) > 0 && GST_VIDEO_INFO_FPS_D(&info) > 0;
    param.b_vfr_input = 0;
    param.i_fps_num = rate ? GST_VIDEO_INFO_FPS_N(&info) : 30;
    param.i_fps_den = rate ? GST_VIDEO_INFO_FPS_D(&info) : 1;
    param.i_keyint_max = settings.keyIntMax;
    param.i_bframe = 0;
    param.rc.i_lookahead = 0;
    param.i_sync_lookahead = 0;
    // A quality aimed at, under a ceiling: a still screen costs almost nothing.
    param.rc.i_rc_method = X264_RC_CRF;
    param.rc.f_rf_constant = float(settings.crf);
    param.rc.i_qp_min = settings.qpMin;
    param.rc.i_vbv_max_bitrate = settings.bitrateKbps;
    param.rc.i_vbv_buffer_size = std::max(1, settings.bitrateKbps * settings.bufferMs / 1000);
    param.b_annexb = 1;
    param.b_repeat_headers = 1; // every key frame carries its parameter sets
    param.b_aud = 0;
    param.analyse.b_mb_info = 1;
    // Studio-range BT.601, as captured.
    param.vui.b_fullrange = 0;
    param.vui.i_colorprim = 6;
    param.vui.i_transfer = 6;
    param.vui.i_colmatrix = 6;
    if (x264_param_apply_profile(&param, "baseline") < 0)
        return false;
    d->x264 = x264_encoder_open(&param);
    if (!d->x264)
        return false;
    qCDebug(gstLog) << "x264 encoders open:" << ++openEncoders;
    d->info = info;
    d->mbWidth = (param.i_width + 15) / 16;
    d->mbHeight = (param.i_height + 15) / 16;
    return true;
}

// Before a frame: a new ceiling or buffer, if one came.
void applyRate(Private* d)
{
    int kbps = 0, bufferMs = 0;
    {
        std::lock_guard lock(d->mutex);
        if (!d->rateChanged)
            return;
        d->rateChanged = false;
        kbps = d->settings.bitrateKbps;
        bufferMs = d->settings.bufferMs;
    }
    x264_param_t param;
    x264_encoder_parameters(d->x264, &param);
    param.rc.i_vbv_max_bitrate = kbps;
    param.rc.i_vbv_buffer_size = std::max(1, kbps * bufferMs / 1000);
    if (x264_encoder_reconfig(d->x264, &param) < 0)
        qCWarning(gstLog) << "x264 did not take a rate of" << kbps << "kbit/s";
}

// One flag per macroblock: unchanged since the frame before, unless a changed rectangle
// touches it. Returns null when what changed is not known for this frame.
uint8_t* unchangedMap(Private* d, GstBuffer* buffer, quint64& unchanged)
{
    const auto area = rtc::gst::changedArea(buffer);
    // Only when the frame before this one was the last one encoded: a frame dropped on the way
    // leaves its change unknown.
    const bool follows = area && d->havePushed && area->pushed == d->lastPushed + 1;
    d->havePushed = area.has_value();
    d->lastPushed = area ? area->pushed : 0;
    if (!follows || area->frameSize != QSize(GST_VIDEO_INFO_WIDTH(&d->info), GST_VIDEO_INFO_HEIGHT(&d->info)))
        return nullptr;
    const std::size_t count = std::size_t(d->mbWidth) * std::size_t(d->mbHeight);
    auto* map = static_cast<uint8_t*>(std::malloc(count));
    if (!map)
        return nullptr;
    std::fill(map, map + count, uint8_t(X264_MBINFO_CONSTANT));
    for (const QRect& rect : area->rects) {
        const QRect inside = rect & QRect(QPoint(0, 0), area->frameSize);
        if (inside.isEmpty())
            continue;
        for (int my = inside.top() / 16; my <= inside.bottom() / 16; ++my)
            std::fill(map + std::size_t(my) * d->mbWidth + inside.left() / 16,
                      map + std::size_t(my) * d->mbWidth + inside.right() / 16 + 1, uint8_t(0));
    }
    unchanged = quint64(std::count(map, map + count, uint8_t(X264_MBINFO_CONSTANT)));
    return map;
}

gboolean setFormat(GstVideoEncoder* encoder, GstVideoCodecState* state)
{
    Private* d = privateOf(encoder);
    if (!openEncoder(d, state->info)) {
        GST_ELEMENT_ERROR(encoder, LIBRARY, INIT, ("x264 could not be opened"), (nullptr));
        return FALSE;
    }
    GstCaps* caps = gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING, "byte-stream", "alignment",
                                        G_TYPE_STRING, "au", "profile", G_TYPE_STRING, "constrained-baseline", nullptr);
    GstVideoCodecState* output = gst_video_encoder_set_output_state(encoder, caps, state);
    gst_video_codec_state_unref(output);
    return gst_video_encoder_negotiate(encoder);
}

GstFlowReturn handleFrame(GstVideoEncoder* encoder, GstVideoCodecFrame* frame)
{
    Private* d = privateOf(encoder);
    if (!d->x264) {
        gst_video_codec_frame_unref(frame);
        return GST_FLOW_NOT_NEGOTIATED;
    }
    applyRate(d);
    GstVideoFrame video;
    if (!gst_video_frame_map(&video, &d->info, frame->input_buffer, GST_MAP_READ)) {
        gst_video_codec_frame_unref(frame);
        GST_ELEMENT_ERROR(encoder, STREAM, ENCODE, ("a frame could not be read"), (nullptr));
        return GST_FLOW_ERROR;
    }
    x264_picture_t picture;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_NV12;
    picture.img.i_plane = 2;
    for (int plane = 0; plane < 2; ++plane) {
        picture.img.plane[plane] = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&video, plane));
        picture.img.i_stride[plane] = GST_VIDEO_FRAME_PLANE_STRIDE(&video, plane);
    }
    picture.i_pts = d->pictures++;
    quint64 unchanged = 0;
    if (GST_VIDEO_CODEC_FRAME_IS_FORCE_KEYFRAME(frame)) {
        picture.i_type = X264_TYPE_IDR;
        std::free(unchangedMap(d, frame->input_buffer, unchanged)); // keeps the count of frames going
        unchanged = 0;
    } else if (uint8_t* map = unchangedMap(d, frame->input_buffer, unchanged)) {
        picture.prop.mb_info = map;
        picture.prop.mb_info_free = std::free;
    }
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    const int size = x264_encoder_encode(d->x264, &nals, &count, &picture, &out);
    gst_video_frame_unmap(&video);
    {
        std::lock_guard lock(d->mutex);
        ++d->counters.frames;
        d->counters.macroblocks += quint64(d->mbWidth) * quint64(d->mbHeight);
        d->counters.unchanged += unchanged;
    }
    if (size < 0) {
        gst_video_codec_frame_unref(frame);
        GST_ELEMENT_ERROR(encoder, STREAM, ENCODE, ("x264 could not encode a frame"), (nullptr));
        return GST_FLOW_ERROR;
    }
    if (size > 0) {
        // One picture's NAL units lie one after another in x264's buffer.
        frame->output_buffer = gst_buffer_new_memdup(nals[0].p_payload, gsize(size));
        if (out.b_keyframe)
            GST_VIDEO_CODEC_FRAME_SET_SYNC_POINT(frame);
    }
    frame->dts = frame->pts;
    // Without output (x264 never holds a picture back here) the frame counts as dropped.
    return gst_video_encoder_finish_frame(encoder, frame);
}

gboolean stop(GstVideoEncoder* encoder)
{
    closeEncoder(privateOf(encoder));
    return TRUE;
}

void finalize(GObject* object)
{
    Private* d = privateOf(object);
    closeEncoder(d);
    delete d;
    G_OBJECT_CLASS(velquin_x264_enc_parent_class)->finalize(object);
}

} // namespace

static void velquin_x264_enc_class_init(VelquinX264EncClass* klass)
{
    static GstStaticPadTemplate sink = GST_STATIC_PAD_TEMPLATE(
        "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
        GST_STATIC_CAPS("video/x-raw, format=(string)NV12, width=(int)[16, 8192], height=(int)[16, 8192], "
                        "framerate=(fraction)[0/1, MAX]"));
    static GstStaticPadTemplate src = GST_STATIC_PAD_TEMPLATE(
        "src", GST_PAD_SRC, GST_PAD_ALWAYS,
        GST_STATIC_CAPS("video/x-h264, stream-format=(string)byte-stream, alignment=(string)au, "
                        "profile=(string)constrained-baseline"));
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element, &sink);
    gst_element_class_add_static_pad_template(element, &src);
    gst_element_class_set_static_metadata(element, "H.264 encoder for screens", "Codec/Encoder/Video",
                                          "libx264, skipping what did not change", "Velquin");
    G_OBJECT_CLASS(klass)->finalize = finalize;
    GstVideoEncoderClass* video = GST_VIDEO_ENCODER_CLASS(klass);
    video->set_format = setFormat;
    video->handle_frame = handleFrame;
    video->stop = stop;
}

static void velquin_x264_enc_init(VelquinX264Enc* self)
{
    self->d = new Private;
}

namespace rtc::gst {

GstElement* makeX264Encoder(const X264Settings& settings)
{
    auto* element = static_cast<GstElement*>(g_object_new(velquin_x264_enc_get_type(), nullptr));
    std::lock_guard lock(privateOf(element)->mutex);
    privateOf(element)->settings = settings;
    return element;
}

void setX264Rate(GstElement* encoder, int bitrateKbps, int bufferMs)
{
    Private* d = privateOf(encoder);
    std::lock_guard lock(d->mutex);
    if (d->settings.bitrateKbps == bitrateKbps && d->settings.bufferMs == bufferMs)
        return;
    d->settings.bitrateKbps = bitrateKbps;
    d->settings.bufferMs = bufferMs;
    d->rateChanged = true;
}

X264Counters x264Counters(GstElement* encoder)
{
    Private* d = privateOf(encoder);
    std::lock_guard lock(d->mutex);
    return d->counters;
}

} // namespace rtc::gst
