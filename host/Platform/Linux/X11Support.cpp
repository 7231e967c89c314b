#include "Platform/Linux/X11Support.h"

#include <QLoggingCategory>

#include <xcb/randr.h>

#include <vector>

namespace x11 {
namespace {
Q_LOGGING_CATEGORY(x11Log, "orbel.x11")
} // namespace

QString describe(xcb_generic_error_t* error)
{
    if (!error)
        return QStringLiteral("lost the connection to the X server");
    const QString text = QStringLiteral("X error %1 (request %2.%3)")
                             .arg(error->error_code)
                             .arg(error->major_code)
                             .arg(error->minor_code);
    std::free(error);
    return text;
}

xcb_atom_t atom(xcb_connection_t* connection, const QByteArray& name)
{
    Reply reply(xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData()), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

xcb_screen_t* screenOf(xcb_connection_t* connection, int number)
{
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < number && it.rem; ++i)
        xcb_screen_next(&it);
    return it.rem ? it.data : nullptr;
}

xcb_connection_t* connect(const QByteArray& display, const char* purpose, xcb_window_t& root, int* screen)
{
    int number = 0;
    xcb_connection_t* connection = xcb_connect(display.isEmpty() ? nullptr : display.constData(), &number);
    if (xcb_connection_has_error(connection)) {
        qCWarning(x11Log) << "cannot open the X display" << (display.isEmpty() ? qgetenv("DISPLAY") : display) << "for"
                          << purpose;
        xcb_disconnect(connection);
        return nullptr;
    }
    const xcb_screen_t* data = screenOf(connection, number);
    root = data ? data->root : 0;
    if (screen)
        *screen = number;
    return connection;
}

const xcb_query_extension_reply_t* extension(xcb_connection_t* connection, xcb_extension_t* id)
{
    const auto* data = xcb_get_extension_data(connection, id);
    return data && data->present ? data : nullptr;
}

QRect mainDisplay(xcb_connection_t* connection, xcb_window_t root, bool useRandr)
{
    Reply geometry(xcb_get_geometry_reply(connection, xcb_get_geometry(connection, root), nullptr));
    if (!geometry)
        return {};
    const QRect whole(0, 0, geometry->width, geometry->height);
    if (!useRandr)
        return whole;

    Reply primary(xcb_randr_get_output_primary_reply(connection, xcb_randr_get_output_primary(connection, root), nullptr));
    Reply resources(xcb_randr_get_screen_resources_current_reply(
        connection, xcb_randr_get_screen_resources_current(connection, root), nullptr));
    if (!resources)
        return whole;
    std::vector<xcb_randr_output_t> outputs;
    if (primary && primary->output != XCB_NONE)
        outputs.push_back(primary->output);
    const xcb_randr_output_t* listed = xcb_randr_get_screen_resources_current_outputs(resources.p);
    outputs.insert(outputs.end(), listed, listed + xcb_randr_get_screen_resources_current_outputs_length(resources.p));

    const xcb_timestamp_t timestamp = resources->config_timestamp;
    for (const xcb_randr_output_t output : outputs) {
        Reply info(xcb_randr_get_output_info_reply(connection, xcb_randr_get_output_info(connection, output, timestamp), nullptr));
        if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE)
            continue;
        Reply crtc(xcb_randr_get_crtc_info_reply(connection, xcb_randr_get_crtc_info(connection, info->crtc, timestamp), nullptr));
        if (!crtc || crtc->mode == XCB_NONE)
            continue;
        const QRect rect = QRect(crtc->x, crtc->y, crtc->width, crtc->height) & whole;
        if (!rect.isEmpty())
            return rect;
    }
    return whole;
}

void MainDisplayWatch::attach(xcb_connection_t* connection, xcb_window_t root)
{
    connection_ = connection;
    root_ = root;
    known_ = false;
    const auto* randr = extension(connection, &xcb_randr_id);
    if (!randr)
        return;
    Reply version(xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5), nullptr));
    hasRandr_ = bool(version);
    randrEvent_ = randr->first_event;
    if (hasRandr_)
        xcb_randr_select_input(connection, root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                                   | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
}

bool MainDisplayWatch::handle(const xcb_generic_event_t* event)
{
    const uint8_t type = event->response_type & 0x7f;
    if (!hasRandr_ || (type != randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY && type != randrEvent_ + XCB_RANDR_NOTIFY))
        return false;
    known_ = false;
    return true;
}

QRect MainDisplayWatch::bounds()
{
    if (!known_ && connection_) {
        rect_ = mainDisplay(connection_, root_, hasRandr_);
        known_ = !rect_.isEmpty();
    }
    return rect_;
}

} // namespace x11
