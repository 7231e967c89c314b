#include "WebRTC/GstSupport.h"

#include <openssl/crypto.h>

#include <QLoggingCategory>

#include <mutex>

Q_LOGGING_CATEGORY(gstLog, "orbel.webrtc")

namespace rtc::gst {

bool ensureInitialised()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        // webrtcbin's threads may still be making a DTLS certificate or closing a connection
        // when the process exits; OpenSSL must not tear itself down under them at exit.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        gst_init(nullptr, nullptr);
        ready = true;
        for (const char* name : { "webrtcbin", "nicesrc", "vp8enc", "rtpvp8pay", "rtph264pay", "appsrc",
                                  "appsink", "videoscale", "videorate", "videoconvert" }) {
            GstElementFactory* factory = gst_element_factory_find(name);
            if (!factory) {
                qCCritical(gstLog) << "GStreamer element missing:" << name;
                ready = false;
            } else {
                gst_object_unref(factory);
            }
        }
    });
    return ready;
}

Ref<GstObject> iceAgentOf(GstElement* webrtc)
{
    GstObject* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    return Ref<GstObject>(ice);
}

bool gatherOnLoopbackOnly(GstObject* ice)
{
    gboolean added = FALSE;
    if (ice)
        g_signal_emit_by_name(ice, "add-local-ip-address", "127.0.0.1", &added);
    return added;
}

void watchBus(GstElement* pipeline, const char* name)
{
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_add_watch_full(bus, G_PRIORITY_DEFAULT, [](GstBus*, GstMessage* message, gpointer data) -> gboolean {
        const char* owner = static_cast<const char*>(data);
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR || GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
            GError* error = nullptr;
            gchar* debug = nullptr;
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
                gst_message_parse_error(message, &error, &debug);
            else
                gst_message_parse_warning(message, &error, &debug);
            qCWarning(gstLog).noquote() << owner << GST_OBJECT_NAME(message->src) << ":" << (error ? error->message : "?")
                                        << (debug ? debug : "");
            g_clear_error(&error);
            g_free(debug);
        }
        return G_SOURCE_CONTINUE;
    }, g_strdup(name), g_free);
    gst_object_unref(bus);
}

void unwatchBus(GstElement* pipeline)
{
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_remove_watch(bus);
    gst_object_unref(bus);
}

} // namespace rtc::gst
