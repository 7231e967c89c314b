// Paints a desktop-like scene on an X display for the viewer benchmarks: a page of text lines
// and pictures filling the screen, of which a region scrolls at 60 Hz the way a browser page
// does (the server copies the region up and the new strip is drawn at the bottom).
//
//   scene_painter office   a 1/16-of-the-screen region scrolls, the rest is still
//   scene_painter whole    the whole screen scrolls
//   scene_painter still    nothing moves after the first paint
//
// Options: --step=PIXELS per frame (default 4), --hz=N (default 60), --clock: a clock in the
// top left corner, redrawn every frame, for glass-to-glass measurements. Runs until killed.
//
// The clock is the wall-clock time in milliseconds modulo 2^24 as 24 blocks of 16×16 pixels,
// most significant bit first, white for 1 and black for 0, at (kClockX, kClockY); the row below
// holds the same bits inverted, so a reader can tell a block it misread.

#include <xcb/xcb.h>

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kLine = 18;       // text line height in pixels
constexpr int kClockX = 16, kClockY = 16, kClockBits = 24, kClockBlock = 16;
constexpr int kPictureEvery = 11; // a picture block starts every this many lines
constexpr int kPictureLines = 5;

const char* const kWords[] = { "the", "window", "screen", "remote", "frame", "quality", "encoder", "page", "scrolls",
                               "phone", "settings", "network", "desktop", "document", "meeting", "notes", "report",
                               "calendar", "budget", "2026", "project", "review", "draft", "summary", "and", "of", "to" };

uint32_t hash(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

struct Painter {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_gcontext_t text = 0, fill = 0, copy = 0; // copy has no clip
    xcb_font_t font = 0;

    void colour(xcb_gcontext_t gc, uint32_t rgb) { xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &rgb); }

    // Draws page rows [top, top + height) of a page `width` wide at window row `y`.
    void page(xcb_window_t w, int width, int y, int top, int height)
    {
        const xcb_rectangle_t clip { 0, int16_t(y), uint16_t(width), uint16_t(height) };
        xcb_set_clip_rectangles(c, XCB_CLIP_ORDERING_UNSORTED, text, 0, 0, 1, &clip);
        xcb_set_clip_rectangles(c, XCB_CLIP_ORDERING_UNSORTED, fill, 0, 0, 1, &clip);
        colour(fill, 0xffffff);
        xcb_poly_fill_rectangle(c, w, fill, 1, &clip);
        for (int line = top / kLine; line * kLine < top + height; ++line) {
            const int lineY = y + line * kLine - top;
            if (line % kPictureEvery < kPictureLines) {
                // The whole block, clipped: the strip may start in the middle of it.
                if (line % kPictureEvery == 0 || line == top / kLine)
                    picture(w, width, lineY - (line % kPictureEvery) * kLine, line - line % kPictureEvery);
                continue;
            }
            std::string words;
            for (uint32_t i = 0; words.size() < size_t(width / 7); ++i) {
                words += kWords[hash(uint32_t(line) * 977 + i) % std::size(kWords)];
                words += ' ';
            }
            words.resize(std::min<size_t>(words.size(), 255));
            colour(text, (line % 7 == 0) ? 0x1a4a9a : 0x202020);
            xcb_image_text_8(c, uint8_t(words.size()), w, text, 12, int16_t(lineY + 13), words.c_str());
        }
    }

    // A photo-like block: soft bands of colour in tiles, changing along both axes.
    void picture(xcb_window_t w, int width, int y, int seed)
    {
        const int blockWidth = std::min(width - 24, 360);
        const int tile = 6;
        for (int ty = 0; ty < kPictureLines * kLine - 4; ty += tile)
            for (int tx = 0; tx < blockWidth; tx += tile) {
                const uint32_t r = uint32_t(120 + 100 * tx / blockWidth + seed * 13) & 0xff;
                const uint32_t g = uint32_t(80 + ty * 2 + (hash(tx * 31 + ty + seed) & 15)) & 0xff;
                const uint32_t b = uint32_t(200 - tx / 3 + ty) & 0xff;
                colour(fill, (r << 16) | (g << 8) | b);
                const xcb_rectangle_t rect { int16_t(12 + tx), int16_t(y + 2 + ty), uint16_t(tile), uint16_t(tile) };
                xcb_poly_fill_rectangle(c, w, fill, 1, &rect);
            }
    }

    void clock(xcb_window_t w)
    {
        timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        const uint32_t ms = uint32_t((int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000) & ((1 << kClockBits) - 1));
        std::vector<xcb_rectangle_t> ones, zeros;
        for (int bit = 0; bit < kClockBits; ++bit) {
            const bool one = (ms >> (kClockBits - 1 - bit)) & 1;
            const int16_t x = int16_t(bit * kClockBlock);
            (one ? ones : zeros).push_back({ x, 0, kClockBlock, kClockBlock });
            (one ? zeros : ones).push_back({ x, kClockBlock, kClockBlock, kClockBlock });
        }
        colour(copy, 0xffffff);
        xcb_poly_fill_rectangle(c, w, copy, uint32_t(ones.size()), ones.data());
        colour(copy, 0x000000);
        xcb_poly_fill_rectangle(c, w, copy, uint32_t(zeros.size()), zeros.data());
    }

    xcb_window_t window(xcb_window_t parent, int x, int y, int width, int height)
    {
        const xcb_window_t w = xcb_generate_id(c);
        const uint32_t values[] = { screen->white_pixel, 1 /* override redirect */ };
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, parent, int16_t(x), int16_t(y), uint16_t(width), uint16_t(height), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                          values);
        xcb_map_window(c, w);
        return w;
    }
};

int option(int argc, char** argv, const char* name, int fallback)
{
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=')
            return std::atoi(argv[i] + length + 1);
    return fallback;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string scene = argc > 1 ? argv[1] : "office";
    if (scene != "office" && scene != "whole" && scene != "still") {
        std::fprintf(stderr, "usage: scene_painter office|whole|still [--step=N] [--hz=N] [--clock]\n");
        return 2;
    }
    const int step = std::max(1, option(argc, argv, "--step", 4));
    bool withClock = false;
    for (int i = 2; i < argc; ++i)
        withClock |= std::strcmp(argv[i], "--clock") == 0;
    const int hz = std::max(1, option(argc, argv, "--hz", 60));

    Painter p;
    p.c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(p.c)) {
        std::fprintf(stderr, "scene_painter: cannot open the display\n");
        return 1;
    }
    p.screen = xcb_setup_roots_iterator(xcb_get_setup(p.c)).data;
    const int width = p.screen->width_in_pixels;
    const int height = p.screen->height_in_pixels;
    p.font = xcb_generate_id(p.c);
    xcb_open_font(p.c, p.font, 5, "fixed");
    p.text = xcb_generate_id(p.c);
    p.fill = xcb_generate_id(p.c);
    const uint32_t textValues[] = { 0x202020, 0xffffff, p.font, 0 };
    xcb_create_gc(p.c, p.text, p.screen->root, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT | XCB_GC_GRAPHICS_EXPOSURES,
                  textValues);
    const uint32_t fillValues[] = { 0xffffff, 0 };
    xcb_create_gc(p.c, p.fill, p.screen->root, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, fillValues);
    p.copy = xcb_generate_id(p.c);
    xcb_create_gc(p.c, p.copy, p.screen->root, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, fillValues);

    const xcb_window_t desk = p.window(p.screen->root, 0, 0, width, height);
    xcb_window_t moving = desk;
    int movingWidth = width, movingHeight = height;
    if (scene == "office") {
        movingWidth = (width / 4) & ~1;
        movingHeight = (height / 4) & ~1;
        moving = p.window(desk, width / 2 - movingWidth / 2, height / 3, movingWidth, movingHeight);
    }
    // The clock has a window of its own above the rest, so scrolling never moves it.
    const xcb_window_t clock = withClock ? p.window(desk, kClockX, kClockY, kClockBits * kClockBlock, 2 * kClockBlock) : 0;
    xcb_flush(p.c);
    free(xcb_get_input_focus_reply(p.c, xcb_get_input_focus(p.c), nullptr));
    p.page(desk, width, 0, 0, height);
    if (moving != desk)
        p.page(moving, movingWidth, 0, 5 * kLine, movingHeight);
    xcb_flush(p.c);

    const int64_t period = 1'000'000'000LL / hz;
    timespec next {};
    clock_gettime(CLOCK_MONOTONIC, &next);
    int top = moving == desk ? 0 : 5 * kLine;
    for (uint64_t frame = 0;; ++frame) {
        if (scene != "still") {
            // Scroll up by `step`: the server moves what is there, the strip below is new.
            xcb_copy_area(p.c, moving, moving, p.copy, 0, int16_t(step), 0, 0, uint16_t(movingWidth),
                          uint16_t(movingHeight - step));
            top += step;
            p.page(moving, movingWidth, movingHeight - step, top + movingHeight - step, step);
        }
        if (clock)
            p.clock(clock);
        // One round trip per frame keeps the painter from running ahead of the server.
        free(xcb_get_input_focus_reply(p.c, xcb_get_input_focus(p.c), nullptr));
        if (xcb_connection_has_error(p.c))
            return 1;
        next.tv_nsec += period;
        while (next.tv_nsec >= 1'000'000'000L) {
            next.tv_nsec -= 1'000'000'000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}
