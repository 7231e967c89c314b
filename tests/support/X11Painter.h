#pragma once
// Draws on an X display through a connection of its own, as any other application would.

#include <QByteArray>
#include <QRect>

#include <xcb/xcb.h>

#include <cstdlib>

class X11Painter {
public:
    explicit X11Painter(const QByteArray& display = {})
    {
        connection_ = xcb_connect(display.isEmpty() ? nullptr : display.constData(), nullptr);
        if (xcb_connection_has_error(connection_))
            return;
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, root_, 0, nullptr);
    }
    ~X11Painter() { xcb_disconnect(connection_); }
    X11Painter(const X11Painter&) = delete;
    X11Painter& operator=(const X11Painter&) = delete;

    bool ok() const { return root_ != 0 && !xcb_connection_has_error(connection_); }

    QSize rootSize() const
    {
        auto* geometry = xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, root_), nullptr);
        const QSize size = geometry ? QSize(geometry->width, geometry->height) : QSize();
        std::free(geometry);
        return size;
    }

    // Fills `rect` of `window` (the root when 0) with 0x00RRGGBB and waits until the server
    // has done it.
    void fill(QRect rect, uint32_t rgb, xcb_window_t window = 0)
    {
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t r { int16_t(rect.x()), int16_t(rect.y()), uint16_t(rect.width()), uint16_t(rect.height()) };
        xcb_poly_fill_rectangle(connection_, window ? window : root_, gc_, 1, &r);
        sync();
    }

    // A mapped top-level window that no window manager moves.
    xcb_window_t createWindow(QRect rect)
    {
        const xcb_window_t window = xcb_generate_id(connection_);
        const uint32_t values[] = { 1 }; // override-redirect
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, root_, int16_t(rect.x()), int16_t(rect.y()),
                          uint16_t(rect.width()), uint16_t(rect.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(connection_, window);
        sync();
        return window;
    }

    void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_gcontext_t gc_ = 0;
};
