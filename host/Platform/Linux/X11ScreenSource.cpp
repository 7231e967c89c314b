#include "Platform/Linux/X11ScreenSource.h"

#include "Platform/Linux/X11Support.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xcb.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <vector>

using x11::describe;
using x11::extension;
using x11::Reply;
using x11::screenOf;

namespace {
const QString kLost = QStringLiteral("lost the connection to the X server");
} // namespace

X11ScreenSource::X11ScreenSource(QByteArray display)
    : displayName_(std::move(display))
{
}

X11ScreenSource::~X11ScreenSource()
{
    close();
}

bool X11ScreenSource::open()
{
    close();
    error_.clear();
    int screenNumber = 0;
    connection_ = xcb_connect(displayName_.isEmpty() ? nullptr : displayName_.constData(), &screenNumber);
    if (xcb_connection_has_error(connection_)) {
        const QByteArray name = displayName_.isEmpty() ? qgetenv("DISPLAY") : displayName_;
        return fail(QStringLiteral("cannot open X display \"%1\"").arg(QString::fromLocal8Bit(name)));
    }
    const xcb_screen_t* screen = screenOf(connection_, screenNumber);
    if (!screen)
        return fail(QStringLiteral("X display has no screen %1").arg(screenNumber));
    root_ = screen->root;
    if (!checkPixelFormat())
        return false;

    if (const auto* damage = extension(connection_, &xcb_damage_id)) {
        // The version must be asked before the extension may be used.
        Reply version(xcb_damage_query_version_reply(connection_, xcb_damage_query_version(connection_, 1, 1), nullptr));
        if (version) {
            hasDamage_ = true;
            damageEvent_ = damage->first_event;
            damage_ = xcb_generate_id(connection_);
            // One event each time the damage goes from empty to not; grab() empties it.
            xcb_damage_create(connection_, damage_, root_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        }
    }
    if (hasDamage_ && extension(connection_, &xcb_xfixes_id)) {
        // Regions came with XFixes 2; the version must be asked before any request.
        Reply version(xcb_xfixes_query_version_reply(connection_, xcb_xfixes_query_version(connection_, 2, 0), nullptr));
        if (version && version->major_version >= 2) {
            repaired_ = xcb_generate_id(connection_);
            xcb_xfixes_create_region(connection_, repaired_, 0, nullptr);
        }
    }
    if (const auto* randr = extension(connection_, &xcb_randr_id)) {
        Reply version(xcb_randr_query_version_reply(connection_, xcb_randr_query_version(connection_, 1, 5), nullptr));
        // Primary outputs and cheap resource queries came with 1.3.
        if (version && (version->major_version > 1 || version->minor_version >= 3)) {
            hasRandr_ = true;
            randrEvent_ = randr->first_event;
            xcb_randr_select_input(connection_, root_,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                                       | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        }
    }

    main_ = findMainDisplay();
    if (xcb_connection_has_error(connection_))
        return fail(kLost);
    if (!main_.isEmpty() && extension(connection_, &xcb_shm_id)) {
        Reply version(xcb_shm_query_version_reply(connection_, xcb_shm_query_version(connection_), nullptr));
        // A remote server cannot attach our segment; plain GetImage then does the job.
        if (version)
            attachSharedMemory(std::size_t(main_.width()) * main_.height() * 4);
    }
    changed_ = true;
    wholeChanged_ = true;
    return true;
}

void X11ScreenSource::close()
{
    reply_.reset();
    detachSharedMemory();
    if (connection_)
        xcb_disconnect(connection_); // the server frees the damage object and the segment
    connection_ = nullptr;
    root_ = 0;
    main_ = QRect();
    hasRandr_ = hasDamage_ = changed_ = false;
    damage_ = 0;
    repaired_ = 0;
    repairedAt_ = 0;
}

ScreenSource::Change X11ScreenSource::poll()
{
    if (!connection_) {
        error_ = QStringLiteral("X display not open");
        return Change::Lost;
    }
    bool geometry = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        handle(event, geometry);
        std::free(event);
    }
    if (geometry) {
        const QRect now = findMainDisplay();
        if (!now.isEmpty() && now.size() != main_.size()) {
            error_ = QStringLiteral("main display changed to %1x%2").arg(now.width()).arg(now.height());
            return Change::Geometry;
        }
        if (!now.isEmpty() && now != main_) {
            main_ = now; // moved, same size: keep going at the new place
            changed_ = wholeChanged_ = true;
        }
    }
    if (xcb_connection_has_error(connection_)) {
        error_ = kLost;
        return Change::Lost;
    }
    if (!hasDamage_)
        changed_ = true; // no way to tell: every tick grabs
    return changed_ ? Change::Content : Change::None;
}

void X11ScreenSource::handle(const xcb_generic_event_t* event, bool& geometry)
{
    const uint8_t type = event->response_type & 0x7f;
    if (hasDamage_ && type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
        // Damage the server reported before it took our last subtract is in the last grab.
        if (int32_t(event->full_sequence - repairedAt_) >= 0)
            changed_ = true;
    } else if (hasRandr_ && (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvent_ + XCB_RANDR_NOTIFY)) {
        geometry = true;
    }
    // Errors (type 0) can only answer the unchecked subtract; grab() reports what matters.
}

std::optional<ScreenSource::Image> X11ScreenSource::grab()
{
    if (!connection_ || main_.isEmpty() || xcb_connection_has_error(connection_)) {
        error_ = kLost;
        return std::nullopt;
    }
    // Empty the damage first: whatever is drawn from here on raises a new event and is part
    // of the next grab's changes (pixels drawn meanwhile may be in both: harmless).
    std::optional<std::vector<QRect>> changed;
    if (hasDamage_) {
        repairedAt_ = xcb_damage_subtract(connection_, damage_, XCB_NONE, repaired_ ? repaired_ : XCB_NONE).sequence;
        if (repaired_ && !wholeChanged_)
            changed = changedRects();
    }
    changed_ = false;
    wholeChanged_ = false;

    const int16_t x = int16_t(main_.x());
    const int16_t y = int16_t(main_.y());
    const uint16_t width = uint16_t(main_.width());
    const uint16_t height = uint16_t(main_.height());
    const int stride = width * 4;
    xcb_generic_error_t* error = nullptr;
    if (shm_) {
        Reply reply(xcb_shm_get_image_reply(
            connection_,
            xcb_shm_get_image(connection_, root_, x, y, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
            &error));
        if (!reply) {
            error_ = describe(error);
            return std::nullopt;
        }
        return Image { width, height, stride, shm_, std::move(changed) };
    }
    auto* reply = xcb_get_image_reply(
        connection_, xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, x, y, width, height, ~0u), &error);
    if (!reply) {
        error_ = describe(error);
        return std::nullopt;
    }
    reply_ = std::unique_ptr<void, void (*)(void*)>(reply, std::free);
    if (xcb_get_image_data_length(reply) < stride * height) {
        error_ = QStringLiteral("short image from the X server");
        return std::nullopt;
    }
    return Image { width, height, stride, xcb_get_image_data(reply), std::move(changed) };
}

std::optional<std::vector<QRect>> X11ScreenSource::changedRects()
{
    Reply region(xcb_xfixes_fetch_region_reply(connection_, xcb_xfixes_fetch_region(connection_, repaired_), nullptr));
    if (!region)
        return std::nullopt;
    std::vector<QRect> rects;
    const xcb_rectangle_t* each = xcb_xfixes_fetch_region_rectangles(region.p);
    const int count = xcb_xfixes_fetch_region_rectangles_length(region.p);
    for (int i = 0; i < count; ++i) {
        const QRect rect = QRect(each[i].x, each[i].y, each[i].width, each[i].height) & main_;
        if (!rect.isEmpty())
            rects.push_back(rect.translated(-main_.topLeft()));
    }
    return rects;
}

bool X11ScreenSource::fail(const QString& message)
{
    close();
    error_ = message;
    return false;
}

bool X11ScreenSource::checkPixelFormat()
{
    // Frames are read as B G R X bytes: 32-bit pixels, least significant byte first, and a
    // visual with 8 bits per colour in the usual places.
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    const xcb_screen_t* screen = nullptr;
    for (auto it = xcb_setup_roots_iterator(setup); it.rem; xcb_screen_next(&it))
        if (it.data->root == root_)
            screen = it.data;
    if (!screen)
        return fail(QStringLiteral("X root window without a screen"));
    int bitsPerPixel = 0;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        if (it.data->depth == screen->root_depth)
            bitsPerPixel = it.data->bits_per_pixel;
    const xcb_visualtype_t* visual = nullptr;
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem && !visual; xcb_depth_next(&depths))
        for (auto it = xcb_depth_visuals_iterator(depths.data); it.rem; xcb_visualtype_next(&it))
            if (it.data->visual_id == screen->root_visual)
                visual = it.data;
    const bool usable = bitsPerPixel == 32 && setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST && visual
                        && visual->red_mask == 0xff0000 && visual->green_mask == 0xff00 && visual->blue_mask == 0xff;
    if (!usable)
        return fail(QStringLiteral("unsupported X pixel format (depth %1, %2 bits per pixel)")
                        .arg(screen->root_depth)
                        .arg(bitsPerPixel));
    return true;
}

QRect X11ScreenSource::findMainDisplay()
{
    return x11::mainDisplay(connection_, root_, hasRandr_);
}

bool X11ScreenSource::attachSharedMemory(std::size_t bytes)
{
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0)
        return false;
    void* memory = shmat(id, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    const uint32_t segment = xcb_generate_id(connection_);
    xcb_generic_error_t* error = xcb_request_check(connection_, xcb_shm_attach_checked(connection_, segment, uint32_t(id), 0));
    // Both sides are attached (or the server refused): the segment goes once both detach.
    shmctl(id, IPC_RMID, nullptr);
    if (error) {
        std::free(error);
        shmdt(memory);
        return false;
    }
    segment_ = segment;
    shmId_ = id;
    shm_ = static_cast<uint8_t*>(memory);
    return true;
}

void X11ScreenSource::detachSharedMemory()
{
    if (shm_)
        shmdt(shm_);
    shm_ = nullptr;
    segment_ = 0;
    shmId_ = -1;
}
