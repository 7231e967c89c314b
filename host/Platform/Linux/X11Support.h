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
// The extension's data when the server has it, else null.
const xcb_query_extension_reply_t* extension(xcb_connection_t* connection, xcb_extension_t* id);
// The primary RandR output's rectangle of the root window, else the first active output's,
// else the whole root; empty when the root cannot be read.
QRect mainDisplay(xcb_connection_t* connection, xcb_window_t root, bool useRandr);

} // namespace x11
