// Prints what the X server holds down, as core X reports it to every client:
//   buttons <n>...      (1 left, 2 middle, 3 right; none: the word alone)
//   keys <keycode>...
// Exits 1 when the display cannot be opened.

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main()
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fputs("held_probe: cannot open the display\n", stderr);
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> pointer(
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, screen->root), nullptr), &std::free);
    std::unique_ptr<xcb_query_keymap_reply_t, decltype(&std::free)> keymap(
        xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr), &std::free);
    if (!pointer || !keymap) {
        std::fputs("held_probe: the X server did not answer\n", stderr);
        xcb_disconnect(connection);
        return 1;
    }
    std::printf("buttons");
    for (int button = 1; button <= 5; ++button)
        if (pointer->mask & (XCB_BUTTON_MASK_1 << (button - 1)))
            std::printf(" %d", button);
    std::printf("\nkeys");
    for (int code = 8; code < 256; ++code)
        if (keymap->keys[code / 8] & (1 << (code % 8)))
            std::printf(" %d", code);
    std::printf("\n");
    xcb_disconnect(connection);
    return 0;
}
