#include "Platform/Linux/PortalRemoteDesktop.h"

#include "Platform/Linux/GLibRefs.h"

#include <QLoggingCategory>

#include <unistd.h>

namespace {
Q_LOGGING_CATEGORY(portalLog, "orbel.portal")

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr int kCallTimeoutMs = 5000;
// Device types, source types and cursor modes of the portal's API.
constexpr uint32_t kKeyboard = 1;
constexpr uint32_t kPointer = 2;
constexpr uint32_t kMonitor = 1;
constexpr uint32_t kCursorInPixels = 2;
constexpr uint32_t kCursorAsMetadata = 4;
// A Response of 1 means the user cancelled; 2 that it ended otherwise.
constexpr uint32_t kCancelled = 1;

using VariantRef = glib::Variant;
using ErrorRef = glib::Error;
using FdListRef = glib::FdList;

QString messageOf(const ErrorRef& error)
{
    return QString::fromUtf8(error ? error->message : "failed");
}
} // namespace

struct PortalRemoteDesktop::Bus {
    glib::Connection connection;
};

PortalRemoteDesktop::PortalRemoteDesktop()
    : bus_(std::make_unique<Bus>())
{
}

PortalRemoteDesktop::~PortalRemoteDesktop()
{
    close();
}

bool PortalRemoteDesktop::available(int timeoutMs)
{
    const glib::Connection connection = glib::sessionBus();
    if (!connection)
        return false;
    // The interface answers for its version only where the portal has a backend for it.
    return glib::call(connection.get(), kPortal, kPath, "org.freedesktop.DBus.Properties", "Get",
                      g_variant_new("(ss)", kRemoteDesktop, "version"), G_VARIANT_TYPE("(v)"), timeoutMs)
        != nullptr;
}

void* PortalRemoteDesktop::request(const char* interface, const char* method, bool withSession, bool withParent, void* options,
                                   int timeoutMs)
{
    // The request object's path is known before the call, so its response cannot be missed:
    // /org/freedesktop/portal/desktop/request/SENDER/TOKEN, the sender without ':' and with '_' for '.'.
    const QByteArray token = "velquin" + QByteArray::number(++tokens_);
    QByteArray sender(g_dbus_connection_get_unique_name(bus_->connection.get()));
    sender = sender.mid(1).replace('.', '_');
    const QByteArray expected = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    auto* builder = static_cast<GVariantBuilder*>(options);
    g_variant_builder_add(builder, "{sv}", "handle_token", g_variant_new_string(token.constData()));

    GVariant* parameters = nullptr;
    if (!withSession)
        parameters = g_variant_new("(a{sv})", builder);
    else if (withParent)
        parameters = g_variant_new("(osa{sv})", session_.constData(), "", builder);
    else
        parameters = g_variant_new("(oa{sv})", session_.constData(), builder);

    struct Waiting {
        QByteArray path;
        bool arrived = false;
        uint32_t response = 2;
        GVariant* results = nullptr;
    } waiting { expected };
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus_->connection.get(), nullptr, "org.freedesktop.portal.Request", "Response", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*, GVariant* parameters, gpointer data) {
            auto* w = static_cast<Waiting*>(data);
            if (w->arrived || w->path != path)
                return;
            g_variant_get(parameters, "(u@a{sv})", &w->response, &w->results);
            w->arrived = true;
        },
        &waiting, nullptr);
    ErrorRef error;
    const VariantRef handle = glib::call(bus_->connection.get(), kPortal, kPath, interface, method, parameters, G_VARIANT_TYPE("(o)"),
                                         kCallTimeoutMs, &error);
    if (handle) {
        // An older portal names the request itself; its response comes to that path.
        const gchar* path = nullptr;
        g_variant_get(handle.get(), "(&o)", &path);
        waiting.path = path;
        const gint64 deadline = g_get_monotonic_time() + gint64(timeoutMs) * 1000;
        while (!waiting.arrived && g_get_monotonic_time() < deadline) {
            if (!g_main_context_iteration(context, FALSE))
                g_usleep(2000);
        }
    }
    g_dbus_connection_signal_unsubscribe(bus_->connection.get(), subscription);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);

    VariantRef results(waiting.results);
    if (!handle) {
        error_ = QStringLiteral("%1.%2: %3").arg(QString::fromUtf8(interface), QString::fromUtf8(method), messageOf(error));
        return nullptr;
    }
    if (!waiting.arrived) {
        error_ = QStringLiteral("the desktop portal did not answer %1 within %2 s").arg(QString::fromUtf8(method)).arg(timeoutMs / 1000);
        return nullptr;
    }
    if (waiting.response != 0) {
        refused_ = waiting.response == kCancelled;
        error_ = refused_ ? QStringLiteral("sharing the screen was declined at the computer")
                          : QStringLiteral("the desktop portal ended %1").arg(QString::fromUtf8(method));
        return nullptr;
    }
    return results.release();
}

bool PortalRemoteDesktop::open()
{
    close();
    error_.clear();
    if (!bus_->connection) {
        ErrorRef error;
        bus_->connection = glib::sessionBus(&error);
        if (!bus_->connection) {
            error_ = QStringLiteral("no session bus: %1").arg(messageOf(error));
            return false;
        }
    }
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string("velquin"));
    VariantRef created(static_cast<GVariant*>(request(kRemoteDesktop, "CreateSession", false, false, &options, kRequestWaitMs)));
    const gchar* handle = nullptr;
    if (!created || !g_variant_lookup(created.get(), "session_handle", "&s", &handle)) {
        if (created)
            error_ = QStringLiteral("the desktop portal made no session");
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        session_ = handle;
    }

    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kKeyboard | kPointer));
    const VariantRef devices(static_cast<GVariant*>(request(kRemoteDesktop, "SelectDevices", true, false, &options, kRequestWaitMs)));
    if (!devices) {
        close();
        return false;
    }
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kMonitor));
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    // The pointer as metadata where the portal offers it (the phone draws it), else in the picture.
    const VariantRef modes = glib::call(bus_->connection.get(), kPortal, kPath, "org.freedesktop.DBus.Properties", "Get",
                                        g_variant_new("(ss)", kScreenCast, "AvailableCursorModes"), G_VARIANT_TYPE("(v)"), kCallTimeoutMs);
    uint32_t available = 0;
    if (modes) {
        VariantRef boxed(g_variant_get_child_value(modes.get(), 0));
        VariantRef value(g_variant_get_variant(boxed.get()));
        if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32))
            available = g_variant_get_uint32(value.get());
    }
    if (available & (kCursorAsMetadata | kCursorInPixels))
        g_variant_builder_add(&options, "{sv}", "cursor_mode",
                              g_variant_new_uint32(available & kCursorAsMetadata ? kCursorAsMetadata : kCursorInPixels));
    const VariantRef sources(static_cast<GVariant*>(request(kScreenCast, "SelectSources", true, false, &options, kRequestWaitMs)));
    if (!sources) {
        close();
        return false;
    }
    // Here the portal asks the user.
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    const VariantRef started(static_cast<GVariant*>(request(kRemoteDesktop, "Start", true, true, &options, kConsentWaitMs)));
    if (!started) {
        close();
        return false;
    }
    uint32_t granted = 0;
    g_variant_lookup(started.get(), "devices", "u", &granted);
    inputGranted_ = (granted & (kKeyboard | kPointer)) == (kKeyboard | kPointer);
    VariantRef streams(g_variant_lookup_value(started.get(), "streams", G_VARIANT_TYPE("a(ua{sv})")));
    if (!streams || g_variant_n_children(streams.get()) == 0) {
        error_ = QStringLiteral("the desktop portal shares no monitor");
        close();
        return false;
    }
    VariantRef first(g_variant_get_child_value(streams.get(), 0));
    uint32_t node = 0;
    g_variant_get_child(first.get(), 0, "u", &node);
    node_ = node;

    GUnixFDList* rawFds = nullptr;
    GError* rawError = nullptr;
    VariantRef remote(g_dbus_connection_call_with_unix_fd_list_sync(
        bus_->connection.get(), kPortal, kPath, kScreenCast, "OpenPipeWireRemote", g_variant_new("(oa{sv})", session_.constData(), nullptr),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &rawFds, nullptr, &rawError));
    const FdListRef fds(rawFds);
    const ErrorRef error(rawError);
    gint32 index = -1;
    if (remote)
        g_variant_get(remote.get(), "(h)", &index);
    connection_ = fds && index >= 0 ? g_unix_fd_list_get(fds.get(), index, nullptr) : -1;
    if (connection_ < 0) {
        error_ = QStringLiteral("the desktop portal gave no PipeWire connection: %1").arg(messageOf(error));
        close();
        return false;
    }
    refused_ = false;
    prime();
    qCInfo(portalLog).noquote() << "portal session" << session_ << "streams PipeWire node" << node_.load()
                                << (inputGranted_ ? "with input" : "without input (not allowed at the computer)");
    return true;
}

int PortalRemoteDesktop::takePipeWireConnection()
{
    const int taken = connection_;
    connection_ = -1;
    return taken;
}

void PortalRemoteDesktop::close()
{
    QByteArray session;
    {
        std::lock_guard lock(mutex_);
        session.swap(session_);
    }
    if (!session.isEmpty() && bus_->connection)
        glib::send(bus_->connection.get(), kPortal, session.constData(), "org.freedesktop.portal.Session", "Close", nullptr);
    if (connection_ >= 0)
        ::close(connection_);
    connection_ = -1;
    node_ = 0;
    inputGranted_ = false;
}

bool PortalRemoteDesktop::isOpen() const
{
    std::lock_guard lock(mutex_);
    return !session_.isEmpty();
}

bool PortalRemoteDesktop::notify(const char* method, void* parameters)
{
    GVariant* values = g_variant_ref_sink(static_cast<GVariant*>(parameters));
    const bool sent = isOpen() && inputGranted_;
    if (sent) {
        glib::send(bus_->connection.get(), kPortal, kPath, kRemoteDesktop, method, values);
    }
    g_variant_unref(values);
    return sent;
}

namespace {
// The session handle, which every input call starts with.
QByteArray sessionOf(std::mutex& mutex, const QByteArray& session)
{
    std::lock_guard lock(mutex);
    return session;
}
} // namespace

bool PortalRemoteDesktop::pointerMotionAbsolute(double x, double y)
{
    const QByteArray session = sessionOf(mutex_, session_);
    return notify("NotifyPointerMotionAbsolute", g_variant_new("(oa{sv}udd)", session.constData(), nullptr, node_.load(), x, y));
}

bool PortalRemoteDesktop::pointerMotionRelative(double dx, double dy)
{
    const QByteArray session = sessionOf(mutex_, session_);
    return notify("NotifyPointerMotion", g_variant_new("(oa{sv}dd)", session.constData(), nullptr, dx, dy));
}

bool PortalRemoteDesktop::pointerButton(int evdevButton, bool pressed)
{
    const QByteArray session = sessionOf(mutex_, session_);
    return notify("NotifyPointerButton", g_variant_new("(oa{sv}iu)", session.constData(), nullptr, evdevButton, guint32(pressed)));
}

bool PortalRemoteDesktop::pointerAxisDiscrete(int axis, int steps)
{
    const QByteArray session = sessionOf(mutex_, session_);
    return notify("NotifyPointerAxisDiscrete", g_variant_new("(oa{sv}ui)", session.constData(), nullptr, guint32(axis), steps));
}

bool PortalRemoteDesktop::keyboardKeycode(uint32_t evdevCode, bool pressed)
{
    const QByteArray session = sessionOf(mutex_, session_);
    return notify("NotifyKeyboardKeycode", g_variant_new("(oa{sv}iu)", session.constData(), nullptr, gint32(evdevCode), guint32(pressed)));
}

bool PortalRemoteDesktop::keyboardKeysym(uint32_t keysym, bool pressed)
{
    const QByteArray session = sessionOf(mutex_, session_);
    return notify("NotifyKeyboardKeysym", g_variant_new("(oa{sv}iu)", session.constData(), nullptr, gint32(keysym), guint32(pressed)));
}
