#pragma once
// Owners for the GLib and GIO values held here: each is released once, however a function
// is left.

#include <gio/gio.h>
#include <gio/gunixfdlist.h>

#include <memory>

namespace glib {
struct Unref {
    void operator()(GVariant* v) const { g_variant_unref(v); }
    void operator()(GError* e) const { g_error_free(e); }
    void operator()(GDBusConnection* c) const { g_object_unref(c); }
    void operator()(GUnixFDList* l) const { g_object_unref(l); }
    void operator()(GSettings* s) const { g_object_unref(s); }
};
using Variant = std::unique_ptr<GVariant, Unref>;
using Error = std::unique_ptr<GError, Unref>;
using Connection = std::unique_ptr<GDBusConnection, Unref>;
using FdList = std::unique_ptr<GUnixFDList, Unref>;
using Settings = std::unique_ptr<GSettings, Unref>;

// The session bus (the process's one shared connection); null without one, with `error` set
// when asked for.
inline Connection sessionBus(Error* error = nullptr)
{
    GError* raw = nullptr;
    Connection bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    if (error)
        error->reset(raw);
    else if (raw)
        g_error_free(raw);
    return bus;
}

// A call awaited at most `timeoutMs`; null when it fails, with `error` set when asked for.
// `parameters` may be floating: the call takes it.
inline Variant call(GDBusConnection* connection, const char* name, const char* path, const char* interface, const char* method,
                    GVariant* parameters, const GVariantType* replyType, int timeoutMs, Error* error = nullptr)
{
    GError* raw = nullptr;
    Variant reply(g_dbus_connection_call_sync(connection, name, path, interface, method, parameters, replyType, G_DBUS_CALL_FLAGS_NONE,
                                              timeoutMs, nullptr, &raw));
    if (error)
        error->reset(raw);
    else if (raw)
        g_error_free(raw);
    return reply;
}

// A call without a reply: GDBus sends such calls in order from its own thread.
inline void send(GDBusConnection* connection, const char* name, const char* path, const char* interface, const char* method,
                 GVariant* parameters)
{
    g_dbus_connection_call(connection, name, path, interface, method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr,
                           nullptr);
}
} // namespace glib
