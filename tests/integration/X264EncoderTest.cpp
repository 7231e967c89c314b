// The H.264 encoder skips macroblocks that did not change since the last frame it encoded. A
// wrong "unchanged" leaves stale pixels on the phone until that spot changes again, so the
// decoded picture is compared with what was captured, also after frames were dropped on the
// way and after a frame whose predecessor the group never saw.

#include "WebRTC/GstEncoderGroup.h"
#include "WebRTC/GstSupport.h"
#include "WebRTC/GstVideoSource.h"
#include "support/Wait.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <QMutex>

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

using namespace rtc::gst;

namespace {
constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kBlock = 64;

// A still checkerboard with one block moving over it and changing as it goes.
struct Scene {
    std::vector<uint8_t> luma = std::vector<uint8_t>(std::size_t(kWidth) * kHeight);
    quint64 number = 0;
    QRect block;

    Scene()
    {
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                luma[std::size_t(y) * kWidth + x] = background(x, y);
    }
    static uint8_t background(int x, int y) { return ((x / 8 + y / 8) % 2) ? 190 : 40; }

    // The next frame; `told` is what the frame says changed (normally the truth).
    rtc::VideoFrame next(std::optional<std::vector<QRect>> told = std::nullopt, quint64 skip = 0)
    {
        number += 1 + skip;
        const QRect old = block;
        for (int y = old.top(); y <= old.bottom() && !old.isEmpty(); ++y)
            for (int x = old.left(); x <= old.right(); ++x)
                luma[std::size_t(y) * kWidth + x] = background(x, y);
        block = QRect(int(number * 24 % (kWidth - kBlock)), 80 + int(number * 8 % 160), kBlock, kBlock);
        for (int y = block.top(); y <= block.bottom(); ++y)
            for (int x = block.left(); x <= block.right(); ++x)
                luma[std::size_t(y) * kWidth + x] = uint8_t(16 + (number * 37 + x * 3 + y) % 200);
        auto data = std::make_shared<QByteArray>(qsizetype(kWidth) * kHeight * 3 / 2, char(128));
        std::memcpy(data->data(), luma.data(), luma.size());
        rtc::VideoFrame frame;
        frame.width = frame.strideY = frame.strideUV = kWidth;
        frame.height = kHeight;
        frame.data = std::move(data);
        frame.number = number;
        std::vector<QRect> truth { block };
        if (!old.isEmpty())
            truth.push_back(old);
        frame.changed = told.value_or(truth);
        return frame;
    }
};

struct Output {
    QMutex mutex;
    std::vector<MiniRef<GstBuffer>> buffers;
    MiniRef<GstCaps> caps;
    std::size_t count()
    {
        QMutexLocker lock(&mutex);
        return buffers.size();
    }
};

// Decodes everything in order; PSNR of the last picture's luma against `luma`.
double lastPicturePsnr(Output& out, const std::vector<uint8_t>& luma)
{
    GError* error = nullptr;
    Ref<GstElement> pipeline(gst_parse_launch("appsrc name=in format=time ! h264parse ! openh264dec ! videoconvert ! "
                                              "video/x-raw,format=I420 ! appsink name=out sync=false",
                                              &error));
    if (!pipeline) {
        ADD_FAILURE() << (error ? error->message : "no decoder");
        g_clear_error(&error);
        return 0;
    }
    Ref<GstElement> in(gst_bin_get_by_name(GST_BIN(pipeline.get()), "in"));
    Ref<GstElement> sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
    QMutexLocker lock(&out.mutex);
    g_object_set(in.get(), "caps", out.caps.get(), nullptr);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    for (std::size_t i = 0; i < out.buffers.size(); ++i) {
        GstBuffer* buffer = gst_buffer_copy(out.buffers[i].get());
        GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = i * GST_SECOND / 30;
        gst_app_src_push_buffer(GST_APP_SRC(in.get()), buffer);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(in.get()));
    double mse = -1;
    while (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink.get()))) {
        GstVideoInfo info;
        gst_video_info_from_caps(&info, gst_sample_get_caps(sample));
        GstMapInfo map;
        gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ);
        double sum = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const int d = int(luma[std::size_t(y) * kWidth + x]) - int(map.data[std::size_t(y) * GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) + x]);
                sum += d * d;
            }
        mse = sum / (double(kWidth) * kHeight);
        gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    if (mse < 0)
        return 0;
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}
} // namespace

TEST(X264EncoderTest, UnchangedMacroblocksAreSkippedAndThePictureStaysExact)
{
    ASSERT_TRUE(ensureInitialised());
    EncoderGroup group(LevelKey { Codec::H264, 12'000'000, 30, 1.0 });
    ASSERT_TRUE(group.valid());
    Output out;
    const int handle = group.subscribe([&](GstBuffer* buffer, GstCaps* caps) {
        QMutexLocker lock(&out.mutex);
        out.buffers.emplace_back(gst_buffer_ref(buffer));
        if (!out.caps)
            out.caps.reset(gst_caps_ref(caps));
    });
    group.setMemberRate(handle, 12'000'000, 30);
    Scene scene;
    const auto push = [&](const rtc::VideoFrame& frame, bool force) {
        group.push(wrapFrame(frame), QSize(frame.width, frame.height), force);
    };

    // Pushed at 60 a second to a 30 fps group: about every other frame is dropped at its gate,
    // and what those frames changed must be carried into the next one encoded.
    for (int i = 0; i < 60; ++i) {
        push(scene.next(), i == 0);
        pump(16);
    }
    push(scene.next(), true);
    ASSERT_TRUE(waitFor([&] { return out.count() >= 20; }, 10000)) << out.count();
    pump(300); // the last one out too
    const std::size_t settled = out.count();
    EXPECT_GT(group.unchangedShare(), 0.6);
    EXPECT_LT(group.unchangedShare(), 0.99);
    EXPECT_GT(lastPicturePsnr(out, scene.luma), 35.0);

    // The same frame again changes nothing; a frame whose predecessor was never seen (its
    // number skips one) is taken as changed everywhere, whatever it says.
    // (Paced: the group's queue holds two frames and drops the oldest.)
    const rtc::VideoFrame last = scene.next();
    push(last, true);
    pump(50);
    push(last, true);
    pump(50);
    push(scene.next(std::vector<QRect> {}, 1), true);
    ASSERT_TRUE(waitFor([&] { return out.count() >= settled + 3; }, 5000));
    EXPECT_GT(lastPicturePsnr(out, scene.luma), 35.0);

    // Without a word on what changed (a fake source, a scaled frame), nothing is skipped.
    const double share = group.unchangedShare();
    rtc::VideoFrame unknown = scene.next();
    unknown.changed.reset();
    push(unknown, true);
    ASSERT_TRUE(waitFor([&] { return out.count() >= settled + 4; }, 5000));
    EXPECT_LT(group.unchangedShare(), share);
    EXPECT_GT(lastPicturePsnr(out, scene.luma), 35.0);
    group.unsubscribe(handle);
}
