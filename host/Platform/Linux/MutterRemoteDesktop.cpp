#include "Platform/Linux/MutterRemoteDesktop.h"

#include "Platform/Linux/GLibRefs.h"

#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(mutterLog, "orbel.mutter")

constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kScreenCastName = "org.gnome.Mutter.ScreenCast";
constexpr int kCallTimeoutMs = 5000;
constexpr int kQuickCallMs = 500;
// ScreenCast "cursor-mode": the pointer travels as stream metadata, not in the pixels.
constexpr uint32_t kCursorAsMetadata = 2;

using VariantRef = glib::Variant;
using ErrorRef = glib::Error;
} // namespace

struct MutterRemoteDesktop::Bus {
    glib::Connection connection;
};

MutterRemoteDesktop::MutterRemoteDesktop()
    : bus_(std::make_unique<Bus>())
{
}

MutterRemoteDesktop::~MutterRemoteDesktop()
{
    close();
}

bool MutterRemoteDesktop::available()
{
    const glib::Connection connection = glib::sessionBus();
    if (!connection)
        return false;
    // Asked every few seconds from the settings window: a bus that hangs must not hold it long.
    const VariantRef reply = glib::call(connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                        "NameHasOwner", g_variant_new("(s)", kRemoteDesktopName), G_VARIANT_TYPE("(b)"), kQuickCallMs);
    gboolean owned = FALSE;
    if (reply)
        g_variant_get(reply.get(), "(b)", &owned);
    return owned;
}

bool MutterRemoteDesktop::allowsSessions()
{
    const glib::Connection connection = glib::sessionBus();
    if (!connection)
        return false;
    ErrorRef error;
    const VariantRef created = glib::call(connection.get(), kRemoteDesktopName, "/org/gnome/Mutter/RemoteDesktop",
                                          "org.gnome.Mutter.RemoteDesktop", "CreateSession", nullptr, G_VARIANT_TYPE("(o)"), kCallTimeoutMs,
                                          &error);
    if (created) {
        const gchar* path = nullptr;
        g_variant_get(created.get(), "(&o)", &path);
        glib::call(connection.get(), kRemoteDesktopName, path, "org.gnome.Mutter.RemoteDesktop.Session", "Stop", nullptr, nullptr,
                   kCallTimeoutMs);
    } else {
        qCWarning(mutterLog).noquote() << "mutter makes no remote-desktop session:" << (error ? error->message : "");
    }
    return created != nullptr;
}

bool MutterRemoteDesktop::call(const QString& path, const char* interface, const char* method, void* parameters, void** reply)
{
    const char* name = QByteArray(interface).startsWith(kScreenCastName) ? kScreenCastName : kRemoteDesktopName;
    ErrorRef error;
    VariantRef result = glib::call(bus_->connection.get(), name, path.toUtf8().constData(), interface, method,
                                   static_cast<GVariant*>(parameters), nullptr, kCallTimeoutMs, &error);
    if (!result) {
        error_ = QStringLiteral("%1.%2: %3").arg(QString::fromUtf8(interface), QString::fromUtf8(method),
                                                 QString::fromUtf8(error ? error->message : "failed"));
        return false;
    }
    if (reply)
        *reply = result.release();
    return true;
}

bool MutterRemoteDesktop::open()
{
    const int timeoutMs = kStreamWaitMs;
    close();
    error_.clear();
    if (!bus_->connection) {
        ErrorRef error;
        bus_->connection = glib::sessionBus(&error);
        if (!bus_->connection) {
            error_ = QStringLiteral("no session bus: %1").arg(QString::fromUtf8(error ? error->message : ""));
            return false;
        }
    }
    void* reply = nullptr;
    refused_ = !call(QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), "org.gnome.Mutter.RemoteDesktop", "CreateSession", nullptr, &reply);
    if (refused_)
        return false;
    VariantRef created(static_cast<GVariant*>(reply));
    const gchar* path = nullptr;
    g_variant_get(created.get(), "(&o)", &path);
    {
        std::lock_guard lock(mutex_);
        remoteDesktop_ = QString::fromUtf8(path);
    }

    // The screen cast joins the remote-desktop session by its id.
    if (!call(remoteDesktop_, "org.freedesktop.DBus.Properties", "Get",
              g_variant_new("(ss)", "org.gnome.Mutter.RemoteDesktop.Session", "SessionId"), &reply)) {
        close();
        return false;
    }
    VariantRef idReply(static_cast<GVariant*>(reply));
    GVariant* boxed = nullptr;
    g_variant_get(idReply.get(), "(v)", &boxed);
    const VariantRef id(boxed);
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&properties, "{sv}", "remote-desktop-session-id", g_variant_new_string(g_variant_get_string(id.get(), nullptr)));
    if (!call(QStringLiteral("/org/gnome/Mutter/ScreenCast"), "org.gnome.Mutter.ScreenCast", "CreateSession",
              g_variant_new("(a{sv})", &properties), &reply)) {
        close();
        return false;
    }
    VariantRef castReply(static_cast<GVariant*>(reply));
    g_variant_get(castReply.get(), "(&o)", &path);
    screenCast_ = QString::fromUtf8(path);

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "cursor-mode", g_variant_new_uint32(kCursorAsMetadata));
    if (!call(screenCast_, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor", g_variant_new("(sa{sv})", "", &options), &reply)) {
        close();
        return false;
    }
    VariantRef streamReply(static_cast<GVariant*>(reply));
    g_variant_get(streamReply.get(), "(&o)", &path);
    const QByteArray stream(path);

    // The node id comes as a signal once the session starts; it is caught on a context of our
    // own, so no event loop of the caller's is needed.
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    struct Waiting {
        uint32_t node = 0;
        bool arrived = false;
    } waiting;
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus_->connection.get(), kScreenCastName, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded", stream.constData(),
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters, gpointer data) {
            auto* w = static_cast<Waiting*>(data);
            g_variant_get(parameters, "(u)", &w->node);
            w->arrived = true;
        },
        &waiting, nullptr);
    bool started = call(remoteDesktop_, "org.gnome.Mutter.RemoteDesktop.Session", "Start", nullptr);
    const gint64 deadline = g_get_monotonic_time() + gint64(timeoutMs) * 1000;
    while (started && !waiting.arrived && g_get_monotonic_time() < deadline) {
        if (!g_main_context_iteration(context, FALSE))
            g_usleep(2000);
    }
    g_dbus_connection_signal_unsubscribe(bus_->connection.get(), subscription);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    if (!started || !waiting.arrived) {
        if (started)
            error_ = QStringLiteral("mutter started no stream within %1 ms").arg(timeoutMs);
        close();
        return false;
    }
    node_ = waiting.node;
    {
        std::lock_guard lock(mutex_);
        stream_ = stream;
    }
    prime();
    GVariantBuilder clipboard;
    g_variant_builder_init(&clipboard, G_VARIANT_TYPE_VARDICT);
    if (!call(remoteDesktop_, "org.gnome.Mutter.RemoteDesktop.Session", "EnableClipboard", g_variant_new("(a{sv})", &clipboard)))
        qCWarning(mutterLog).noquote() << "no clipboard in this session:" << error_;
    qCInfo(mutterLog).noquote() << "remote-desktop session" << remoteDesktop_ << "streams PipeWire node" << node_;
    return true;
}

void MutterRemoteDesktop::close()
{
    QString session;
    {
        std::lock_guard lock(mutex_);
        session.swap(remoteDesktop_);
        stream_.clear();
    }
    if (!session.isEmpty() && bus_->connection) {
        // Stopping the remote-desktop session ends its screen cast too.
        const QString keep = error_;
        call(session, "org.gnome.Mutter.RemoteDesktop.Session", "Stop", nullptr);
        error_ = keep;
    }
    screenCast_.clear();
    node_ = 0;
}

QString MutterRemoteDesktop::path() const
{
    std::lock_guard lock(mutex_);
    return remoteDesktop_;
}

bool MutterRemoteDesktop::isOpen() const
{
    std::lock_guard lock(mutex_);
    return !remoteDesktop_.isEmpty();
}

bool MutterRemoteDesktop::notify(const char* method, void* parameters)
{
    GVariant* values = g_variant_ref_sink(static_cast<GVariant*>(parameters));
    QByteArray session;
    {
        std::lock_guard lock(mutex_);
        session = remoteDesktop_.toUtf8();
    }
    if (!session.isEmpty()) {
        glib::send(bus_->connection.get(), kRemoteDesktopName, session.constData(), "org.gnome.Mutter.RemoteDesktop.Session", method,
                   values);
    }
    g_variant_unref(values);
    return !session.isEmpty();
}

bool MutterRemoteDesktop::pointerMotionAbsolute(double x, double y)
{
    QByteArray stream;
    {
        std::lock_guard lock(mutex_);
        stream = stream_;
    }
    return notify("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", stream.constData(), x, y));
}

bool MutterRemoteDesktop::pointerMotionRelative(double dx, double dy)
{
    return notify("NotifyPointerMotionRelative", g_variant_new("(dd)", dx, dy));
}

bool MutterRemoteDesktop::pointerButton(int evdevButton, bool pressed)
{
    return notify("NotifyPointerButton", g_variant_new("(ib)", evdevButton, gboolean(pressed)));
}

bool MutterRemoteDesktop::pointerAxisDiscrete(int axis, int steps)
{
    return notify("NotifyPointerAxisDiscrete", g_variant_new("(ui)", guint32(axis), steps));
}

bool MutterRemoteDesktop::keyboardKeycode(uint32_t evdevCode, bool pressed)
{
    return notify("NotifyKeyboardKeycode", g_variant_new("(ub)", evdevCode, gboolean(pressed)));
}

bool MutterRemoteDesktop::keyboardKeysym(uint32_t keysym, bool pressed)
{
    return notify("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, gboolean(pressed)));
}
