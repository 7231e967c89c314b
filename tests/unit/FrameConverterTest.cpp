// BGRA → NV12, studio-range BT.601: checked against the textbook formula on flat colours.

#include "OrbelHost/FrameConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {
struct Yuv {
    int y, u, v;
};

int clamp8(double value)
{
    return std::clamp(int(std::lround(value)), 0, 255);
}

// Studio-range BT.601: luma 16–235, chroma 16–240.
Yuv expected(uint32_t bgra)
{
    const double r = (bgra >> 16) & 0xff, g = (bgra >> 8) & 0xff, b = bgra & 0xff;
    const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
    return { clamp8(16 + luma * 219 / 255), clamp8(128 + (b - luma) / 1.772 * 224 / 255),
             clamp8(128 + (r - luma) / 1.402 * 224 / 255) };
}

// A BGRA screen of `width` × `height`, each pixel from `colour(x, y)`, with rows `padding`
// bytes longer than the pixels (the padding holds junk).
struct Screen {
    Screen(int width, int height, auto colour, int padding = 0)
        : stride(width * 4 + padding)
        , bytes(std::size_t(stride) * height, 0xab)
    {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                reinterpret_cast<uint32_t*>(bytes.data() + std::size_t(y) * stride)[x] = colour(x, y);
        image = { width, height, stride, bytes.data() };
    }
    int stride;
    std::vector<uint8_t> bytes;
    ScreenSource::Image image;
};

Yuv at(const rtc::VideoFrame& frame, int x, int y)
{
    const auto* data = reinterpret_cast<const uint8_t*>(frame.data->constData());
    const uint8_t* uv = data + std::size_t(frame.strideY) * frame.height;
    const std::size_t chroma = std::size_t(y / 2) * frame.strideUV + std::size_t(x / 2) * 2;
    return { data[std::size_t(y) * frame.strideY + x], uv[chroma], uv[chroma + 1] };
}

void expectNear(const Yuv& actual, const Yuv& wanted, const char* what)
{
    SCOPED_TRACE(what);
    EXPECT_NEAR(actual.y, wanted.y, 2);
    EXPECT_NEAR(actual.u, wanted.u, 2);
    EXPECT_NEAR(actual.v, wanted.v, 2);
}

constexpr uint32_t kRed = 0xffff0000, kGreen = 0xff00ff00, kBlue = 0xff0000ff, kWhite = 0xffffffff,
                   kBlack = 0xff000000, kGrey = 0xff808080, kOrange = 0xffff8000;
} // namespace

TEST(FrameConverterTest, FlatColoursGiveStudioRangeBT601)
{
    FrameConverter converter;
    for (const uint32_t colour : { kRed, kGreen, kBlue, kWhite, kBlack, kGrey, kOrange }) {
        Screen screen(64, 32, [colour](int, int) { return colour; });
        const rtc::VideoFrame frame = converter.convert(screen.image, QSize(64, 32));
        const std::string what = "colour " + std::to_string(colour);
        expectNear(at(frame, 0, 0), expected(colour), what.c_str());
        expectNear(at(frame, 63, 31), expected(colour), what.c_str());
    }
    // Studio range: white is 235 and black 16, as decoders assume of a stream that does not say.
    Screen white(16, 16, [](int, int) { return kWhite; });
    EXPECT_NEAR(at(converter.convert(white.image, QSize(16, 16)), 5, 5).y, 235, 1);
    Screen black(16, 16, [](int, int) { return kBlack; });
    EXPECT_NEAR(at(converter.convert(black.image, QSize(16, 16)), 5, 5).y, 16, 1);
}

TEST(FrameConverterTest, PlanesAreLaidOutAsNV12)
{
    // Red on the left half, blue on the right, green in the bottom row band.
    Screen screen(64, 32, [](int x, int y) { return y >= 24 ? kGreen : x < 32 ? kRed : kBlue; });
    FrameConverter converter;
    const rtc::VideoFrame frame = converter.convert(screen.image, QSize(64, 32));
    EXPECT_EQ(frame.width, 64);
    EXPECT_EQ(frame.height, 32);
    EXPECT_EQ(frame.strideY, 64);
    EXPECT_EQ(frame.strideUV, 64);
    ASSERT_EQ(frame.data->size(), 64 * 32 * 3 / 2);
    EXPECT_EQ(frame.timestampNs, 0);
    // U before V in each pair: red has low U and high V, blue the opposite.
    expectNear(at(frame, 4, 4), expected(kRed), "red");
    expectNear(at(frame, 60, 4), expected(kBlue), "blue");
    expectNear(at(frame, 4, 28), expected(kGreen), "green");
    expectNear(at(frame, 60, 28), expected(kGreen), "green right");
}

TEST(FrameConverterTest, RowPaddingIsSkippedAndOddEdgesAreCropped)
{
    Screen screen(65, 33, [](int x, int) { return x < 32 ? kWhite : kRed; }, 28);
    FrameConverter converter;
    const rtc::VideoFrame frame = converter.convert(screen.image, QSize(64, 32));
    EXPECT_EQ(frame.width, 64);
    EXPECT_EQ(frame.height, 32);
    for (int y : { 0, 15, 31 }) {
        expectNear(at(frame, 2, y), expected(kWhite), "white");
        expectNear(at(frame, 62, y), expected(kRed), "red");
    }
}

TEST(FrameConverterTest, WideScreensAreScaledDownWithoutMovingThings)
{
    // 3840 wide: white left third, black middle third, blue right third.
    Screen screen(3840, 2160, [](int x, int) { return x < 1280 ? kWhite : x < 2560 ? kBlack : kBlue; });
    FrameConverter converter;
    const rtc::VideoFrame frame = converter.convert(screen.image, QSize(2560, 1440));
    EXPECT_EQ(frame.width, 2560);
    EXPECT_EQ(frame.height, 1440);
    EXPECT_EQ(frame.data->size(), 2560 * 1440 * 3 / 2);
    expectNear(at(frame, 400, 700), expected(kWhite), "white third");
    expectNear(at(frame, 1280, 700), expected(kBlack), "black third");
    expectNear(at(frame, 2200, 1439), expected(kBlue), "blue third");
    // The edges land at two thirds of their place: ~853 and ~1707.
    EXPECT_NEAR(at(frame, 845, 10).y, expected(kWhite).y, 2);
    EXPECT_NEAR(at(frame, 862, 10).y, expected(kBlack).y, 2);
}

TEST(FrameConverterTest, AFrameStillHeldIsNeverOverwritten)
{
    FrameConverter converter;
    Screen red(32, 32, [](int, int) { return kRed; });
    Screen blue(32, 32, [](int, int) { return kBlue; });
    const rtc::VideoFrame held = converter.convert(red.image, QSize(32, 32));
    std::vector<rtc::VideoFrame> later;
    for (int i = 0; i < 8; ++i)
        later.push_back(converter.convert(blue.image, QSize(32, 32)));
    expectNear(at(held, 10, 10), expected(kRed), "held");
    for (const auto& frame : later)
        EXPECT_NE(frame.data, held.data);

    // Buffers let go of are filled again, still not the held one.
    later.clear();
    for (int i = 0; i < 8; ++i) {
        const rtc::VideoFrame again = converter.convert(blue.image, QSize(32, 32));
        EXPECT_NE(again.data, held.data);
    }
    expectNear(at(held, 10, 10), expected(kRed), "held after reuse");
}

TEST(FrameConverterTest, ConvertingOnlyWhatChangedGivesTheSameFrameAsConvertingItAll)
{
    std::mt19937 random(20261208);
    // Odd sizes: the last column and row are cropped, and rectangles reach into them.
    for (const QSize display : { QSize(317, 203), QSize(64, 48), QSize(3, 3) }) {
        SCOPED_TRACE(QStringLiteral("%1x%2").arg(display.width()).arg(display.height()).toStdString());
        Screen screen(display.width(), display.height(), [&](int, int) { return 0xff000000u | (random() & 0xffffff); });
        const QSize size(display.width() & ~1, display.height() & ~1);
        auto* pixels = reinterpret_cast<uint32_t*>(screen.bytes.data());
        const auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };

        FrameConverter incremental;
        // Frames still with an encoder must stay as they were.
        std::vector<std::pair<rtc::VideoFrame, QByteArray>> held;
        const rtc::VideoFrame first = incremental.convert(screen.image, size);
        held.emplace_back(first, *first.data);
        QByteArray before = *first.data;
        for (int round = 0; round < 40; ++round) {
            std::vector<QRect> changed;
            const int count = round % 10 == 9 ? int(FrameConverter::kMaxRects) + 5 : between(0, 4);
            for (int i = 0; i < count; ++i) {
                const QRect rect(between(0, display.width() - 1), between(0, display.height() - 1),
                                 between(1, std::max(1, display.width() / 3)), between(1, std::max(1, display.height() / 3)));
                const QRect inside = rect & QRect(QPoint(0, 0), display);
                const uint32_t colour = 0xff000000u | (random() & 0xffffff);
                for (int y = inside.top(); y <= inside.bottom(); ++y)
                    for (int x = inside.left(); x <= inside.right(); ++x)
                        pixels[std::size_t(y) * display.width() + x] = colour ^ uint32_t(x * 7 + y);
                changed.push_back(rect); // may reach past the display, as a damage report can
            }
            screen.image.changed = changed;
            const rtc::VideoFrame part = incremental.convert(screen.image, size);
            screen.image.changed.reset();
            const rtc::VideoFrame whole = FrameConverter().convert(screen.image, size);
            ASSERT_EQ(*part.data, *whole.data) << "round " << round << ", " << count << " rectangles";
            // What the frame says changed covers every pixel that did (the encoder skips the rest).
            ASSERT_TRUE(part.changed);
            for (int y = 0; y < size.height(); ++y)
                for (int x = 0; x < size.width(); ++x) {
                    if (part.data->at(y * size.width() + x) == before.at(y * size.width() + x))
                        continue;
                    ASSERT_TRUE(std::any_of(part.changed->begin(), part.changed->end(), [&](const QRect& r) { return r.contains(x, y); }))
                        << "round " << round << ": " << x << "," << y << " changed unannounced";
                }
            before = *part.data;
            if (round % 3 == 0)
                held.emplace_back(part, *part.data);
        }
        for (const auto& [frame, bytes] : held)
            EXPECT_EQ(*frame.data, bytes) << "a frame still held was written over";
    }
}
