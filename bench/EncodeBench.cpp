// Capture → NV12 → encoded frame latency on the encoder groups the host uses: a synthetic
// full-screen change (every pixel new) or a small change (a 64×64 square), converted to NV12
// and pushed into the group; timed until the encoded frame comes out. Run with the real X
// capture figures of capture_bench for the whole path. Numbers only, no assertions.

#include "OrbelHost/CaptureGeometry.h"
#include "OrbelHost/FrameConverter.h"
#include "WebRTC/GstEncoderGroup.h"
#include "WebRTC/GstSupport.h"
#include "WebRTC/GstVideoSource.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

using namespace rtc::gst;
using Clock = std::chrono::steady_clock;

namespace {
double percentile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(q * double(values.size())))];
}

struct Arrivals {
    std::mutex mutex;
    std::condition_variable arrived;
    int count = 0;
};

void run(Codec codec, int width, int height, bool fullChange, int frames)
{
    LevelKey key { codec, 12'000'000, 30, 1.0 };
    EncoderGroup group(key);
    Arrivals arrivals;
    group.subscribe([&](GstBuffer*, GstCaps*) {
        std::lock_guard lock(arrivals.mutex);
        ++arrivals.count;
        arrivals.arrived.notify_all();
    });
    std::vector<uint32_t> pixels(std::size_t(width) * height, 0xff336699u);
    FrameConverter converter;
    const QSize size = captureSize(QSize(width, height));
    std::vector<double> encodeMs, totalMs;
    for (int i = 0; i < frames + 10; ++i) {
        // Change the picture the way a screen would.
        const auto start = Clock::now();
        if (fullChange) {
            const uint32_t seed = uint32_t(i) * 2654435761u;
            for (std::size_t p = 0; p < pixels.size(); ++p)
                pixels[p] = 0xff000000u | ((uint32_t(p) * 40503u + seed) >> 8);
        } else {
            for (int y = 0; y < 64; ++y)
                std::fill_n(&pixels[std::size_t(y + (i % 8) * 64) * width + (i % 16) * 64], 64, 0xff000000u | uint32_t(i * 997));
        }
        const auto drawn = Clock::now();
        const ScreenSource::Image image { width, height, width * 4, reinterpret_cast<const uint8_t*>(pixels.data()) };
        rtc::VideoFrame frame = converter.convert(image, size);
        const auto converted = Clock::now();
        int before;
        {
            std::lock_guard lock(arrivals.mutex);
            before = arrivals.count;
        }
        GstBuffer* buffer = wrapFrame(frame); // the group takes it
        group.push(buffer, size, true);
        {
            std::unique_lock lock(arrivals.mutex);
            arrivals.arrived.wait_for(lock, std::chrono::seconds(2), [&] { return arrivals.count > before; });
        }
        const auto encoded = Clock::now();
        if (i >= 10) { // the first frames warm the encoder up
            encodeMs.push_back(std::chrono::duration<double, std::milli>(encoded - converted).count());
            totalMs.push_back(std::chrono::duration<double, std::milli>(encoded - drawn).count());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(33) - (Clock::now() - start));
    }
    std::printf("%-5s %4dx%-4d %-6s  NV12+encode p50 %6.2f ms  p95 %6.2f ms   (encode alone p50 %6.2f ms)\n", toString(codec), width,
                height, fullChange ? "full" : "small", percentile(totalMs, 0.5), percentile(totalMs, 0.95), percentile(encodeMs, 0.5));
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!ensureInitialised())
        return 1;
    std::printf("cores: %u\n", std::thread::hardware_concurrency());
    for (Codec codec : { Codec::H264, Codec::VP8 })
        for (auto [w, h] : { std::pair { 1920, 1080 }, std::pair { 2560, 1440 } })
            for (bool full : { true, false })
                run(codec, w, h, full, 60);
    return 0;
}
