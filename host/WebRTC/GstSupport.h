#pragma once
// Ownership helpers for GStreamer objects; private to this folder.

#include <gst/gst.h>

#include <memory>

namespace rtc::gst {

template <void (*Release)(gpointer)>
struct UnrefWith {
    void operator()(gpointer object) const
    {
        if (object)
            Release(object);
    }
};
using ObjectUnref = UnrefWith<gst_object_unref>;
template <typename T>
using Ref = std::unique_ptr<T, ObjectUnref>;

// For plain GObjects (not GstObjects), such as the ICE library's agent.
template <typename T>
using GObjectRef = std::unique_ptr<T, UnrefWith<g_object_unref>>;

// Buffers, caps, samples: mini objects with their own reference count.
struct MiniObjectUnref {
    void operator()(gpointer object) const
    {
        if (object)
            gst_mini_object_unref(GST_MINI_OBJECT_CAST(object));
    }
};
template <typename T>
using MiniRef = std::unique_ptr<T, MiniObjectUnref>;

struct PromiseUnref {
    void operator()(GstPromise* promise) const
    {
        if (promise)
            gst_promise_unref(promise);
    }
};
// Our reference to a promise; webrtcbin takes its own while it works on it.
using PromiseRef = std::unique_ptr<GstPromise, PromiseUnref>;

// gst_init once per process; false when a plugin the host needs is missing.
bool ensureInitialised();

// webrtcbin's ICE agent (a GstWebRTCICE), or null.
Ref<GstObject> iceAgentOf(GstElement* webrtc);
// Makes `ice` gather candidates on 127.0.0.1 only; false when it cannot.
bool gatherOnLoopbackOnly(GstObject* ice);

// A pipeline's bus watched on the main context: errors and warnings go to the log.
void watchBus(GstElement* pipeline, const char* name);
// Removes that watch; before the pipeline is released.
void unwatchBus(GstElement* pipeline);

} // namespace rtc::gst
