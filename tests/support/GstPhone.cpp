#include "support/GstPhone.h"

#include "WebRTC/GstSupport.h"

#define GST_USE_UNSTABLE_API
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

using rtc::gst::PromiseRef;
using rtc::gst::Ref;

namespace {
struct AnswerJob {
    std::shared_ptr<GstPhone::Shared> shared;
    GstElement* webrtc; // kept alive by the phone's pipeline until the job is dropped
    std::function<void(const QString&)> answered;
};

// What webrtcbin's callbacks hold: a heap copy of the shared state, freed with the handler.
std::shared_ptr<GstPhone::Shared>* holder(const std::shared_ptr<GstPhone::Shared>& shared)
{
    return new std::shared_ptr<GstPhone::Shared>(shared);
}

void dropHolder(gpointer data, GClosure*)
{
    delete static_cast<std::shared_ptr<GstPhone::Shared>*>(data);
}

void answerMade(GstPromise* promise, gpointer data)
{
    auto* job = static_cast<AnswerJob*>(data);
    GstWebRTCSessionDescription* answer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED && gst_promise_get_reply(promise))
        gst_structure_get(gst_promise_get_reply(promise), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
    if (!answer) {
        job->answered({});
        return;
    }
    PromiseRef applied(gst_promise_new());
    g_signal_emit_by_name(job->webrtc, "set-local-description", answer, applied.get());
    gchar* text = gst_sdp_message_as_text(answer->sdp);
    job->answered(QString::fromUtf8(text));
    g_free(text);
    gst_webrtc_session_description_free(answer);
}

void offerApplied(GstPromise*, gpointer data)
{
    auto* job = static_cast<AnswerJob*>(data);
    auto* next = new AnswerJob(*job);
    PromiseRef made(gst_promise_new_with_change_func(answerMade, next, [](gpointer d) { delete static_cast<AnswerJob*>(d); }));
    g_signal_emit_by_name(job->webrtc, "create-answer", nullptr, made.get());
}
} // namespace

struct GstPhone::Pipeline {
    Ref<GstElement> pipeline;
    GstElement* webrtc = nullptr; // owned by the pipeline
};

GstPhone::GstPhone()
    : pipeline_(std::make_unique<Pipeline>())
{
    rtc::gst::ensureInitialised();
    pipeline_->pipeline.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    pipeline_->webrtc = gst_element_factory_make("webrtcbin", nullptr);
    gst_bin_add(GST_BIN(pipeline_->pipeline.get()), pipeline_->webrtc);
    g_object_set(pipeline_->webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
    rtc::gst::gatherOnLoopbackOnly(rtc::gst::iceAgentOf(pipeline_->webrtc).get());

    auto onCandidate = +[](GstElement*, guint index, gchar* candidate, gpointer data) {
        const auto& shared = *static_cast<std::shared_ptr<Shared>*>(data);
        if (shared->onCandidate)
            shared->onCandidate({ QString::fromUtf8(candidate), QStringLiteral("0"), int(index) });
    };
    auto onState = +[](GObject* webrtc, GParamSpec*, gpointer data) {
        GstWebRTCPeerConnectionState state;
        g_object_get(webrtc, "connection-state", &state, nullptr);
        (*static_cast<std::shared_ptr<Shared>*>(data))->connected = state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED;
    };
    auto onPad = +[](GstElement* webrtc, GstPad* pad, gpointer data) {
        if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
            return;
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "async", FALSE, "sync", FALSE, nullptr);
        gst_bin_add(GST_BIN(GST_ELEMENT_PARENT(webrtc)), sink);
        gst_element_sync_state_with_parent(sink);
        const Ref<GstPad> sinkPad(gst_element_get_static_pad(sink, "sink"));
        gst_pad_link(pad, sinkPad.get());
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, +[](GstPad*, GstPadProbeInfo*, gpointer d) {
            ++(*static_cast<std::shared_ptr<Shared>*>(d))->videoPackets;
            return GST_PAD_PROBE_OK;
        }, holder(*static_cast<std::shared_ptr<Shared>*>(data)), [](gpointer d) { dropHolder(d, nullptr); });
    };
    auto onChannel = +[](GstElement*, GstWebRTCDataChannel*, gpointer data) {
        ++(*static_cast<std::shared_ptr<Shared>*>(data))->channelsAnnounced;
    };
    g_signal_connect_data(pipeline_->webrtc, "on-ice-candidate", G_CALLBACK(onCandidate), holder(shared_), dropHolder, GConnectFlags(0));
    g_signal_connect_data(pipeline_->webrtc, "notify::connection-state", G_CALLBACK(onState), holder(shared_), dropHolder, GConnectFlags(0));
    g_signal_connect_data(pipeline_->webrtc, "pad-added", G_CALLBACK(onPad), holder(shared_), dropHolder, GConnectFlags(0));
    g_signal_connect_data(pipeline_->webrtc, "on-data-channel", G_CALLBACK(onChannel), holder(shared_), dropHolder, GConnectFlags(0));
    gst_element_set_state(pipeline_->pipeline.get(), GST_STATE_PLAYING);
}

GstPhone::~GstPhone()
{
    gst_element_set_state(pipeline_->pipeline.get(), GST_STATE_NULL);
}

void GstPhone::answer(const QString& offerSdp, std::function<void(const rtc::IceCandidate&)> onCandidate,
                      std::function<void(const QString&)> answered)
{
    // Before the offer: the phone gathers only once it has answered.
    shared_->onCandidate = std::move(onCandidate);
    GstSDPMessage* sdp = nullptr;
    gst_sdp_message_new_from_text(offerSdp.toUtf8().constData(), &sdp);
    if (!sdp) {
        answered({});
        return;
    }
    GstWebRTCSessionDescription* offer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
    auto* job = new AnswerJob { shared_, pipeline_->webrtc, std::move(answered) };
    PromiseRef applied(gst_promise_new_with_change_func(offerApplied, job, [](gpointer d) { delete static_cast<AnswerJob*>(d); }));
    g_signal_emit_by_name(pipeline_->webrtc, "set-remote-description", offer, applied.get());
    gst_webrtc_session_description_free(offer);
}

void GstPhone::addCandidate(const rtc::IceCandidate& candidate)
{
    g_signal_emit_by_name(pipeline_->webrtc, "add-ice-candidate", guint(candidate.sdpMLineIndex), candidate.candidate.toUtf8().constData());
}
