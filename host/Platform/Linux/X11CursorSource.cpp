#include "Platform/Linux/X11CursorSource.h"

#include <QLoggingCategory>

#include <xcb/xcbext.h>
#include <xcb/xfixes.h>

#include <cstring>

namespace {
Q_LOGGING_CATEGORY(cursorLog, "orbel.cursor")

// The reply to `request` if it has come, else null; clears `request` once it has an answer.
template <typename T>
T* takeReply(xcb_connection_t* connection, std::optional<unsigned>& request)
{
    if (!request)
        return nullptr;
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (!xcb_poll_for_reply(connection, *request, &reply, &error))
        return nullptr; // not yet
    request.reset();
    std::free(error);
    return static_cast<T*>(reply);
}
} // namespace

X11CursorSource::X11CursorSource(QByteArray display)
{
    connection_ = x11::connect(display, "the pointer", root_);
    if (!connection_)
        return;
    display_.attach(connection_, root_);
    if (const auto* fixes = x11::extension(connection_, &xcb_xfixes_id)) {
        x11::Reply version(xcb_xfixes_query_version_reply(connection_, xcb_xfixes_query_version(connection_, 4, 0), nullptr));
        hasFixes_ = version && version->major_version >= 2;
        fixesEvent_ = fixes->first_event;
        if (hasFixes_)
            xcb_xfixes_select_cursor_input(connection_, root_, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    }
    if (!hasFixes_)
        qCWarning(cursorLog) << "the X server has no XFIXES: the pointer's shape is not shown";
    xcb_flush(connection_);
}

X11CursorSource::~X11CursorSource()
{
    if (connection_)
        xcb_disconnect(connection_);
}

void X11CursorSource::readEvents()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        if (!display_.handle(event) && hasFixes_
            && (event->response_type & 0x7f) == fixesEvent_ + XCB_XFIXES_CURSOR_NOTIFY)
            shapeStale_ = true;
        std::free(event);
    }
}

void X11CursorSource::collectReplies()
{
    if (auto* pointer = takeReply<xcb_query_pointer_reply_t>(connection_, pointerRequest_)) {
        position_ = QPoint(pointer->root_x, pointer->root_y);
        std::free(pointer);
    }
    if (auto* image = takeReply<xcb_xfixes_get_cursor_image_reply_t>(connection_, imageRequest_)) {
        const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(image);
        // XFIXES gives premultiplied ARGB, one 32-bit value per pixel.
        QImage picture(image->width, image->height, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < image->height; ++y)
            std::memcpy(picture.scanLine(y), pixels + size_t(y) * image->width, size_t(image->width) * 4);
        shape_ = Shape { image->cursor_serial, picture, QPoint(image->xhot, image->yhot) };
        std::free(image);
    }
}

QRect X11CursorSource::mainDisplayBounds()
{
    if (!connection_)
        return {};
    readEvents();
    return display_.bounds();
}

std::optional<QPoint> X11CursorSource::position()
{
    if (!connection_ || xcb_connection_has_error(connection_))
        return std::nullopt;
    readEvents();
    collectReplies();
    // The next answers, for the following calls.
    if (!pointerRequest_)
        pointerRequest_ = xcb_query_pointer(connection_, root_).sequence;
    if (hasFixes_ && shapeStale_ && !imageRequest_) {
        imageRequest_ = xcb_xfixes_get_cursor_image(connection_).sequence;
        shapeStale_ = false;
    }
    xcb_flush(connection_);
    return position_;
}

std::optional<CursorSource::Shape> X11CursorSource::shape()
{
    if (!connection_)
        return std::nullopt;
    collectReplies();
    return shape_;
}
