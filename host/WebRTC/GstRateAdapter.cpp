#include "WebRTC/GstRateAdapter.h"

#include <gst/webrtc/webrtc.h>

#include <QLoggingCategory>

#include <algorithm>
#include <mutex>

Q_DECLARE_LOGGING_CATEGORY(gstLog)

namespace rtc::gst {

struct GstRateAdapter::State {
    explicit State(const BandwidthController::Limits& limits) : controller(limits) {}
    std::mutex mutex; // guards everything below
    bool stopped = false;
    Ref<GstElement> webrtc;
    BandwidthController controller;
    Apply apply;
    std::optional<Reading> last;
    std::optional<Reading> lossFrom; // the reading the next loss is counted from
    int64_t lastAtMs = 0;
};

namespace {
struct Found {
    std::optional<GstRateAdapter::Reading> reading;
    uint64_t bytesSent = 0;
};

gboolean visit(GQuark, const GValue* value, gpointer data)
{
    if (!GST_VALUE_HOLDS_STRUCTURE(value))
        return TRUE;
    const GstStructure* entry = gst_value_get_structure(value);
    GstWebRTCStatsType type {};
    if (!gst_structure_get_enum(entry, "type", GST_TYPE_WEBRTC_STATS_TYPE, reinterpret_cast<gint*>(&type)))
        return TRUE;
    auto* found = static_cast<Found*>(data);
    if (type == GST_WEBRTC_STATS_OUTBOUND_RTP) {
        guint64 bytes = 0;
        if (gst_structure_get_uint64(entry, "bytes-sent", &bytes))
            found->bytesSent += bytes;
        return TRUE;
    }
    if (type != GST_WEBRTC_STATS_REMOTE_INBOUND_RTP)
        return TRUE;
    const char* kind = gst_structure_get_string(entry, "kind");
    if (kind && g_strcmp0(kind, "video") != 0)
        return TRUE;
    GstRateAdapter::Reading reading;
    if (!gst_structure_get_double(entry, "fraction-lost", &reading.fractionLost))
        return TRUE;
    double roundTrip = 0;
    if (gst_structure_get_double(entry, "round-trip-time", &roundTrip))
        reading.roundTripMs = roundTrip * 1000;
    gint64 lost = 0;
    if (gst_structure_get_int64(entry, "packets-lost", &lost))
        reading.packetsLost = lost;
    GstStructure* source = nullptr;
    if (gst_structure_get(entry, "gst-rtpsource-stats", GST_TYPE_STRUCTURE, &source, nullptr) && source) {
        guint highest = 0;
        if (gst_structure_get_uint(source, "rb-exthighestseq", &highest))
            reading.highestSequence = highest;
        gst_structure_free(source);
    }
    found->reading = reading;
    return TRUE;
}

int64_t nowMs()
{
    return g_get_monotonic_time() / 1000;
}
} // namespace

std::optional<double> GstRateAdapter::Reading::lossSince(const Reading& before) const
{
    if (highestSequence < before.highestSequence + kLossSample)
        return std::nullopt;
    const double expected = double(highestSequence - before.highestSequence);
    return std::clamp(double(packetsLost - before.packetsLost) / expected, 0.0, 1.0);
}

std::optional<GstRateAdapter::Reading> GstRateAdapter::read(const GstStructure* stats)
{
    Found found;
    if (stats)
        gst_structure_foreach(stats, &visit, &found);
    if (found.reading)
        found.reading->bytesSent = found.bytesSent;
    return found.reading;
}

GstRateAdapter::GstRateAdapter(GstElement* webrtc, const BandwidthController::Limits& limits, Apply apply)
    : state_(std::make_shared<State>(limits))
{
    state_->webrtc.reset(GST_ELEMENT(gst_object_ref(webrtc)));
    state_->apply = std::move(apply);
    using Holder = std::shared_ptr<State>;
    auto poll = +[](gpointer data) -> gboolean {
        const Holder& state = *static_cast<Holder*>(data);
        Ref<GstElement> webrtc;
        {
            std::lock_guard lock(state->mutex);
            if (state->stopped || !state->webrtc)
                return G_SOURCE_REMOVE;
            webrtc.reset(GST_ELEMENT(gst_object_ref(state->webrtc.get())));
        }
        auto answered = +[](GstPromise* promise, gpointer data) {
            const Holder& state = *static_cast<Holder*>(data);
            if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED)
                return;
            const auto reading = read(gst_promise_get_reply(promise));
            Apply apply;
            BandwidthController::Target target;
            {
                std::lock_guard lock(state->mutex);
                if (state->stopped || !reading || (state->last && reading->sameReport(*state->last)))
                    return;
                const int64_t at = nowMs();
                double lost = -1;
                if (!state->lossFrom || reading->highestSequence < state->lossFrom->highestSequence) {
                    state->lossFrom = reading;
                } else if (const auto share = reading->lossSince(*state->lossFrom)) {
                    lost = *share;
                    state->lossFrom = reading;
                }
                BandwidthController::Report report { at, lost, reading->roundTripMs };
                if (state->last && at > state->lastAtMs && reading->bytesSent >= state->last->bytesSent)
                    report.sentBps = double(reading->bytesSent - state->last->bytesSent) * 8000 / double(at - state->lastAtMs);
                state->last = reading;
                state->lastAtMs = at;
                target = state->controller.onReport(report);
                apply = state->apply;
                qCDebug(gstLog) << "receiver report: lost" << report.fractionLost << "round trip" << report.roundTripMs
                                << "ms, sent" << report.sentBps / 1000 << "kbit/s → aim at" << target.bitrateBps / 1000
                                << "kbit/s," << target.framerate << "fps";
            }
            if (apply)
                apply(target);
        };
        GstPromise* promise = gst_promise_new_with_change_func(answered, new Holder(state),
                                                               [](gpointer data) { delete static_cast<Holder*>(data); });
        // Outside the lock: a closing webrtcbin may answer at once, on this thread.
        g_signal_emit_by_name(webrtc.get(), "get-stats", nullptr, promise);
        gst_promise_unref(promise);
        return G_SOURCE_CONTINUE;
    };
    timer_ = g_timeout_source_new(kPollMs);
    g_source_set_callback(timer_, poll, new Holder(state_), [](gpointer data) { delete static_cast<Holder*>(data); });
    g_source_attach(timer_, nullptr);
}

GstRateAdapter::~GstRateAdapter()
{
    Ref<GstElement> webrtc;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
        state_->apply = nullptr;
        webrtc = std::move(state_->webrtc);
    }
    // Safe whether or not the timer already ended itself; one running now sees `stopped`.
    g_source_destroy(timer_);
    g_source_unref(timer_);
}

void GstRateAdapter::setLimits(const BandwidthController::Limits& limits)
{
    std::lock_guard lock(state_->mutex);
    state_->controller.setLimits(limits);
}

BandwidthController::Target GstRateAdapter::target() const
{
    std::lock_guard lock(state_->mutex);
    return state_->controller.target();
}

} // namespace rtc::gst
