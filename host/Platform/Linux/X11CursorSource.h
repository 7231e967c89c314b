#pragma once
// The pointer of an X server, read without ever waiting on the server: each call sends the
// next query and answers with the newest reply that has arrived (a poll old at most). The
// XFIXES extension reports shape changes; the image is fetched only after one.

#include "Platform/CursorSource.h"
#include "Platform/Linux/X11Support.h"

#include <QByteArray>

class X11CursorSource : public CursorSource {
public:
    // `display` names the X display; empty means $DISPLAY.
    explicit X11CursorSource(QByteArray display = {});
    ~X11CursorSource() override;
    X11CursorSource(const X11CursorSource&) = delete;
    X11CursorSource& operator=(const X11CursorSource&) = delete;

    bool usable() const { return connection_ != nullptr; }

    QRect mainDisplayBounds() override;
    std::optional<QPoint> position() override;
    std::optional<Shape> shape() override;

private:
    void readEvents();
    void collectReplies();

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    x11::MainDisplayWatch display_;
    bool hasFixes_ = false;
    uint8_t fixesEvent_ = 0;
    bool shapeStale_ = true;

    std::optional<unsigned> pointerRequest_; // sequence numbers of requests in flight
    std::optional<unsigned> imageRequest_;
    std::optional<QPoint> position_;
    std::optional<Shape> shape_;
};
