// Picks the encoders' quality points: captures a few seconds of the X display (run a scene of
// bench/ScenePainter.cpp on it), then for each codec and quality point feeds those frames at
// 30 fps through the host's own encoder group, decodes what comes out and compares it with
// what went in. Prints bit rate, luma PSNR (mean over the run and the worst frame), encoded
// frame sizes and encode time. Numbers only, no assertions.
//
//   quality_bench [--frames=N] [--h264=18,21,23,26,28] [--vp8=8,12,16,20,24] [--buffer-ms=N] [--label=TEXT]

#include "OrbelHost/CaptureGeometry.h"
#include "OrbelHost/FrameConverter.h"
#include "Platform/Linux/X11ScreenSource.h"
#include "WebRTC/GstEncoderGroup.h"
#include "WebRTC/GstSupport.h"
#include "WebRTC/GstVideoSource.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace rtc::gst;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kFrameInterval = std::chrono::microseconds(33'333);

QString option(const QStringList& args, const QString& name, const QString& fallback)
{
    for (const QString& arg : args)
        if (arg.startsWith(name + QLatin1Char('=')))
            return arg.mid(name.size() + 1);
    return fallback;
}

std::vector<int> numbers(const QString& list)
{
    std::vector<int> out;
    for (const QString& item : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
        out.push_back(item.toInt());
    return out;
}

double percentile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(q * double(values.size())))];
}

// Grabs `count` frames 30 times a second, as the capturer would hand them to the encoders.
std::vector<rtc::VideoFrame> capture(int count)
{
    X11ScreenSource screen;
    if (!screen.open()) {
        std::fprintf(stderr, "quality_bench: %s\n", qPrintable(screen.errorString()));
        return {};
    }
    const QSize size = captureSize(screen.displaySize());
    FrameConverter converter;
    std::vector<rtc::VideoFrame> frames;
    auto next = Clock::now();
    while (int(frames.size()) < count) {
        screen.poll();
        const auto image = screen.grab();
        if (!image)
            break;
        rtc::VideoFrame frame = converter.convert(*image, size);
        frame.data = std::make_shared<const QByteArray>(*frame.data); // a copy: the converter reuses its buffers
        frames.push_back(std::move(frame));
        next += kFrameInterval;
        std::this_thread::sleep_until(next);
    }
    return frames;
}

struct Encoded {
    std::vector<MiniRef<GstBuffer>> buffers;
    std::vector<std::size_t> sourceOf; // the captured frame each buffer was made from
    std::size_t dropped = 0;           // frames the encoder dropped to keep under its ceiling
    MiniRef<GstCaps> caps;
    std::vector<double> encodeMs;
    double cpuPercent = 0; // of one core, while encoding
};

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Through the host's encoder group at the pace of the screen: one frame in, wait for it out.
Encoded encode(const std::vector<rtc::VideoFrame>& frames, Codec codec, const EncoderTuning& tuning)
{
    EncoderGroup group(LevelKey { codec, 12'000'000, 30, 1.0 }, tuning);
    Encoded out;
    std::mutex mutex;
    std::condition_variable arrived;
    std::size_t current = 0;
    const int handle = group.subscribe([&](GstBuffer* buffer, GstCaps* caps) {
        std::lock_guard lock(mutex);
        out.buffers.emplace_back(gst_buffer_ref(buffer));
        out.sourceOf.push_back(current);
        if (!out.caps)
            out.caps.reset(gst_caps_ref(caps));
        arrived.notify_all();
    });
    // The level's full rate, as for a phone whose path carries it: the ceiling, not a guess.
    group.setMemberRate(handle, 12'000'000, 30);
    const double cpuBefore = cpuSeconds();
    const auto began = Clock::now();
    auto next = began;
    for (const auto& frame : frames) {
        const auto start = Clock::now();
        std::unique_lock lock(mutex);
        current = std::size_t(&frame - frames.data());
        const std::size_t had = out.buffers.size();
        lock.unlock();
        group.push(wrapFrame(frame), QSize(frame.width, frame.height), true); // past the frame-rate gate: paced here
        lock.lock();
        // A frame that does not come out within a frame interval or so was dropped (libvpx
        // drops to stay under its ceiling); the phone keeps showing the one before.
        if (arrived.wait_for(lock, std::chrono::milliseconds(400), [&] { return out.buffers.size() > had; }))
            out.encodeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        else
            ++out.dropped, next = Clock::now(); // the wait took the place of the frame interval
        lock.unlock();
        next += kFrameInterval;
        std::this_thread::sleep_until(next);
    }
    out.cpuPercent = 100 * (cpuSeconds() - cpuBefore) / std::chrono::duration<double>(Clock::now() - began).count();
    group.unsubscribe(handle);
    std::lock_guard lock(mutex);
    return out;
}

double lumaError(const rtc::VideoFrame& source, const uint8_t* plane, int stride)
{
    const auto* original = reinterpret_cast<const uint8_t*>(source.data->constData());
    double sum = 0;
    for (int y = 0; y < source.height; ++y) {
        const uint8_t* a = original + std::size_t(y) * source.strideY;
        const uint8_t* b = plane + std::size_t(y) * stride;
        for (int x = 0; x < source.width; ++x) {
            const int d = int(a[x]) - int(b[x]);
            sum += d * d;
        }
    }
    return sum / (double(source.width) * source.height);
}

// Decodes in order and returns each captured frame's luma mean squared error against what the
// phone shows for it: the picture made from it, or the last one before it when it was dropped.
std::vector<double> compare(const Encoded& encoded, const std::vector<rtc::VideoFrame>& frames, Codec codec)
{
    const char* description = codec == Codec::H264
        ? "appsrc name=in ! h264parse ! openh264dec ! videoconvert ! video/x-raw,format=I420 ! appsink name=out sync=false"
        : "appsrc name=in ! vp8dec ! videoconvert ! video/x-raw,format=I420 ! appsink name=out sync=false";
    GError* error = nullptr;
    Ref<GstElement> pipeline(gst_parse_launch(description, &error));
    if (!pipeline) {
        std::fprintf(stderr, "quality_bench: %s\n", error ? error->message : "no decoder");
        g_clear_error(&error);
        return {};
    }
    Ref<GstElement> in(gst_bin_get_by_name(GST_BIN(pipeline.get()), "in"));
    Ref<GstElement> out(gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
    g_object_set(in.get(), "caps", encoded.caps.get(), "format", GST_FORMAT_TIME, nullptr);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    std::vector<double> errors;
    for (std::size_t i = 0; i < encoded.buffers.size(); ++i) {
        GstBuffer* buffer = gst_buffer_copy(encoded.buffers[i].get());
        GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = i * GST_SECOND / 30;
        gst_app_src_push_buffer(GST_APP_SRC(in.get()), buffer);
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), 5 * GST_SECOND);
        if (!sample)
            break;
        GstMapInfo map;
        GstBuffer* decoded = gst_sample_get_buffer(sample);
        gst_buffer_map(decoded, &map, GST_MAP_READ);
        GstVideoInfo info;
        gst_video_info_from_caps(&info, gst_sample_get_caps(sample));
        const std::size_t until = i + 1 < encoded.sourceOf.size() ? encoded.sourceOf[i + 1] : frames.size();
        for (std::size_t f = encoded.sourceOf[i]; f < until && f < frames.size(); ++f)
            errors.push_back(lumaError(frames[f], map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, 0), GST_VIDEO_INFO_PLANE_STRIDE(&info, 0)));
        gst_buffer_unmap(decoded, &map);
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return errors;
}

double psnr(double mse)
{
    return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

void measure(const std::vector<rtc::VideoFrame>& frames, Codec codec, int point, EncoderTuning tuning, const QString& label)
{
    (codec == Codec::H264 ? tuning.x264Crf : tuning.vp8CqLevel) = point;
    const Encoded encoded = encode(frames, codec, tuning);
    const std::vector<double> errors = compare(encoded, frames, codec);
    if (errors.size() != frames.size()) {
        std::printf("%-8s %-5s %3d  decoded %zu of %zu frames\n", qPrintable(label), toString(codec), point, errors.size(), frames.size());
        return;
    }
    double bytes = 0, meanError = 0, worst = 1e9;
    std::vector<double> kib;
    for (const auto& buffer : encoded.buffers) {
        bytes += double(gst_buffer_get_size(buffer.get()));
        kib.push_back(double(gst_buffer_get_size(buffer.get())) / 1024.0);
    }
    for (double e : errors) {
        meanError += e / double(errors.size());
        worst = std::min(worst, psnr(e));
    }
    // The first frame is a key frame: its size is told apart from the rest.
    std::vector<double> later(kib.begin() + 1, kib.end());
    std::printf("%-8s %-5s %3d  %6.2f Mbit/s  PSNR-Y %5.2f dB (worst frame %5.2f)  frame KiB: first %6.1f, p50 %6.1f, p95 %6.1f, max %6.1f  encode p50 %5.2f ms, CPU %4.1f%%, %zu dropped\n",
                qPrintable(label), toString(codec), point, bytes * 8 / (double(frames.size()) / 30.0) / 1e6, psnr(meanError), worst,
                kib.front(), percentile(later, 0.5), percentile(later, 0.95), percentile(later, 1.0), percentile(encoded.encodeMs, 0.5), encoded.cpuPercent,
                encoded.dropped);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!ensureInitialised())
        return 1;
    const QStringList args = app.arguments();
    const QString label = option(args, QStringLiteral("--label"), QStringLiteral("screen"));
    const auto frames = capture(option(args, QStringLiteral("--frames"), QStringLiteral("150")).toInt());
    if (frames.empty())
        return 1;

    EncoderTuning tuning;
    tuning.ceilingBufferMs = option(args, QStringLiteral("--buffer-ms"), QString::number(tuning.ceilingBufferMs)).toInt();
    std::printf("%s: %zu frames of %dx%d at 30 fps, ceiling 12 Mbit/s over %d ms\n", qPrintable(label), frames.size(),
                frames[0].width, frames[0].height, tuning.ceilingBufferMs);
    for (int point : numbers(option(args, QStringLiteral("--h264"), QStringLiteral("18,21,23,26,28"))))
        measure(frames, Codec::H264, point, tuning, label);
    for (int point : numbers(option(args, QStringLiteral("--vp8"), QStringLiteral("8,12,16,20,24"))))
        measure(frames, Codec::VP8, point, tuning, label);
    return 0;
}
