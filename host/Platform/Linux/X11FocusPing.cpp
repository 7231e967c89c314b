#include "Platform/Linux/X11FocusPing.h"

#include "Platform/Linux/X11Support.h"

#include <algorithm>

namespace {
// Deeper than any real window tree; a guard against a tree that changes while it is climbed.
constexpr int kMaxDepth = 64;
} // namespace

X11FocusPing::X11FocusPing(const QByteArray& display)
{
    xcb_window_t root = 0;
    listener_ = x11::connect(display, "typing", root);
    if (!listener_)
        return;
    protocols_ = x11::atom(listener_, "WM_PROTOCOLS");
    ping_ = x11::atom(listener_, "_NET_WM_PING");
    // Clients send their answers to the root window, for those who watch it (Qt) or its
    // children (GTK).
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(listener_, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(listener_);
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(listener_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readAnswers(); });
}

X11FocusPing::~X11FocusPing()
{
    notifier_.reset();
    if (listener_)
        xcb_disconnect(listener_);
}

bool X11FocusPing::send(xcb_connection_t* connection, xcb_window_t root, uint32_t serial)
{
    if (!listener_ || xcb_connection_has_error(listener_) || ping_ == XCB_ATOM_NONE)
        return false;
    const xcb_window_t window = target(connection, root);
    if (window == XCB_NONE)
        return false;
    xcb_client_message_event_t event {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = protocols_;
    event.data.data32[0] = ping_;
    event.data.data32[1] = serial;
    event.data.data32[2] = window;
    // No event mask: the event goes to the client that made the window.
    xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(connection);
    pinged_ = window;
    return true;
}

xcb_window_t X11FocusPing::target(xcb_connection_t* connection, xcb_window_t root)
{
    x11::Reply focus(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    if (!focus || focus->focus == XCB_NONE)
        return XCB_NONE;
    xcb_window_t window = focus->focus;
    if (window == XCB_INPUT_FOCUS_POINTER_ROOT || window == root) {
        // Keys go to the window under the pointer: start from the deepest one there.
        window = root;
        for (int depth = 0; depth < kMaxDepth; ++depth) {
            x11::Reply pointer(xcb_query_pointer_reply(connection, xcb_query_pointer(connection, window), nullptr));
            if (!pointer || pointer->child == XCB_NONE)
                break;
            window = pointer->child;
        }
    }
    // The focus may be on a child of the application's top-level window (a toolkit's focus
    // proxy); the top-level is the one that says it takes pings.
    for (int depth = 0; depth < kMaxDepth && window != root && window != XCB_NONE; ++depth) {
        if (takesPings(connection, window))
            return window;
        x11::Reply tree(xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
        if (!tree)
            return XCB_NONE;
        window = tree->parent;
    }
    return XCB_NONE;
}

bool X11FocusPing::takesPings(xcb_connection_t* connection, xcb_window_t window)
{
    x11::Reply property(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, protocols_, XCB_ATOM_ATOM, 0, 64), nullptr));
    if (!property || property->format != 32)
        return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(property.p));
    const int count = xcb_get_property_value_length(property.p) / 4;
    return std::find(atoms, atoms + count, ping_) != atoms + count;
}

void X11FocusPing::readAnswers()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(listener_)) {
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
            // A window manager's own pings are answered here too; ours name our window.
            if (message->type == protocols_ && message->format == 32 && message->data.data32[0] == ping_
                && pinged_ != XCB_NONE && message->data.data32[2] == pinged_ && onAnswer)
                onAnswer(message->data.data32[1]);
        }
        std::free(event);
    }
    if (xcb_connection_has_error(listener_))
        notifier_->setEnabled(false);
}
