#pragma once
// Small pieces every xcb client of ours needs.

#include <QRect>
#include <QString>

#include <xcb/xcb.h>

#include <cstdlib>

namespace x11 {

// Owns one xcb reply.
template <typename T>
struct Reply {
    explicit Reply(T* reply) : p(reply) {}
    ~Reply() { std::free(p); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
    T* p;
};

// "X error 2 (request 132.2)", or the lost-connection text for no error; frees `error`.
QString describe(xcb_generic_error_t* error);
xcb_screen_t* screenOf(xcb_connection_t* connection, int number);
// Opens `display` (empty: $DISPLAY) and gives its default screen's root window and number;
// null, with a warning saying what could not work (`purpose`), when the display will not open.
xcb_connection_t* connect(const QByteArray& display, const char* purpose, xcb_window_t& root, int* screen = nullptr);
// The atom named `name`, made when the server has none yet; XCB_ATOM_NONE when it cannot answer.
xcb_atom_t atom(xcb_connection_t* connection, const QByteArray& name);
// The extension's data when the server has it, else null.
const xcb_query_extension_reply_t* extension(xcb_connection_t* connection, xcb_extension_t* id);
// The primary RandR output's rectangle of the root window, else the first active output's,
// else the whole root; empty when the root cannot be read.
QRect mainDisplay(xcb_connection_t* connection, xcb_window_t root, bool useRandr);

// The main display's rectangle, read again only after RandR has reported a change.
class MainDisplayWatch {
public:
    // Asks for RandR's change events on `root`, when the server has RandR.
    void attach(xcb_connection_t* connection, xcb_window_t root);
    // Looks at one event of the connection; true if it was RandR's.
    bool handle(const xcb_generic_event_t* event);
    QRect bounds();

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    bool hasRandr_ = false;
    uint8_t randrEvent_ = 0;
    QRect rect_;
    bool known_ = false;
};

} // namespace x11
