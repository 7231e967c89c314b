// Capture → NV12 latency. Conversion runs on a synthetic BGRA screen; the X11 cases draw on
// the display named by DISPLAY (the whole main display, or a 64×64 square) and time from the
// drawing request to the finished frame: damage seen, grab, conversion. The wait for the next
// 30 fps tick (0–33 ms) comes on top in the host.

#include "OrbelHost/CaptureGeometry.h"
#include "OrbelHost/FrameConverter.h"
#include "Platform/Linux/X11ScreenSource.h"

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(q * double(values.size())))];
}

void report(benchmark::State& state, const std::vector<double>& total, const char* prefix = "")
{
    state.counters[std::string(prefix) + "p50_ms"] = percentile(total, 0.50);
    state.counters[std::string(prefix) + "p95_ms"] = percentile(total, 0.95);
}

void convertSynthetic(benchmark::State& state)
{
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    std::vector<uint32_t> pixels(std::size_t(width) * height);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = 0xff000000u | uint32_t(i * 2654435761u >> 8); // not flat, so no shortcut helps
    const ScreenSource::Image image { width, height, width * 4, reinterpret_cast<const uint8_t*>(pixels.data()) };
    const QSize size = captureSize(QSize(width, height));
    FrameConverter converter;
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = Clock::now();
        const rtc::VideoFrame frame = converter.convert(image, size);
        benchmark::DoNotOptimize(frame.data->constData());
        const auto elapsed = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        times.push_back(ms(elapsed));
    }
    report(state, times);
    state.SetLabel(QStringLiteral("%1x%2 -> %3x%4").arg(width).arg(height).arg(size.width()).arg(size.height()).toStdString());
}

// A second connection that paints on the root window, as any application would.
struct Painter {
    Painter()
    {
        connection = xcb_connect(nullptr, nullptr);
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        gc = xcb_generate_id(connection);
        xcb_create_gc(connection, gc, root, 0, nullptr);
    }
    ~Painter() { xcb_disconnect(connection); }
    void fill(QRect rect, uint32_t colour)
    {
        xcb_change_gc(connection, gc, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t r { int16_t(rect.x()), int16_t(rect.y()), uint16_t(rect.width()), uint16_t(rect.height()) };
        xcb_poly_fill_rectangle(connection, root, gc, 1, &r);
        xcb_flush(connection);
    }
    xcb_connection_t* connection;
    xcb_window_t root;
    xcb_gcontext_t gc;
};

void captureX11(benchmark::State& state)
{
    if (!std::getenv("DISPLAY")) {
        state.SkipWithError("DISPLAY is not set");
        return;
    }
    const bool full = state.range(0) != 0;
    X11ScreenSource source;
    if (!source.open()) {
        state.SkipWithError(source.errorString().toStdString().c_str());
        return;
    }
    const QRect bounds = source.mainDisplayBounds();
    const QSize size = captureSize(bounds.size());
    const QRect area = full ? bounds : QRect(bounds.center(), QSize(64, 64));
    Painter painter;
    FrameConverter converter;
    source.poll();
    source.grab(); // start from a clean damage state

    std::vector<double> totals, grabs, converts;
    uint32_t colour = 0x102030;
    for (auto _ : state) {
        colour ^= 0x00ffffff;
        const auto start = Clock::now();
        painter.fill(area, colour);
        while (source.poll() != ScreenSource::Change::Content) {
            if (Clock::now() - start > std::chrono::seconds(2)) {
                state.SkipWithError("no damage reported");
                return;
            }
        }
        const auto grabStart = Clock::now();
        const auto image = source.grab();
        const auto grabbed = Clock::now();
        if (!image) {
            state.SkipWithError(source.errorString().toStdString().c_str());
            return;
        }
        const rtc::VideoFrame frame = converter.convert(*image, size);
        benchmark::DoNotOptimize(frame.data->constData());
        const auto done = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(done - start).count());
        totals.push_back(ms(done - start));
        grabs.push_back(ms(grabbed - grabStart));
        converts.push_back(ms(done - grabbed));
    }
    report(state, totals);
    report(state, grabs, "grab_");
    report(state, converts, "convert_");
    state.SetLabel(QStringLiteral("%1x%2 %3 change, %4")
                       .arg(bounds.width())
                       .arg(bounds.height())
                       .arg(full ? "full" : "small")
                       .arg(source.usesSharedMemory() ? "MIT-SHM" : "GetImage")
                       .toStdString());
}
} // namespace

BENCHMARK(convertSynthetic)->Args({ 1920, 1080 })->Args({ 2560, 1440 })->Args({ 3840, 2160 })
    ->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(captureX11)->ArgName("full")->Arg(1)->Arg(0)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
