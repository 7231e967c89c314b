#include "WebRTC/GstPeerConnection.h"

#include <gst/app/gstappsrc.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>

#include <QLoggingCategory>
#include <QRegularExpression>

Q_DECLARE_LOGGING_CATEGORY(gstLog)

namespace rtc::gst {

namespace {
// H.264 first: phones decode it in hardware. The phone's answer picks one of the two.
// Constrained baseline at level 5.1: hardware decoders set themselves up from this, and what
// is sent goes up to 2560 pixels wide (level 4.1 ends at 1080p). Each side may receive at its
// own level.
constexpr const char* kVideoCodecs =
    "application/x-rtp,media=video,encoding-name=H264,payload=102,clock-rate=90000,"
    "packetization-mode=(string)1,profile-level-id=(string)42e033,level-asymmetry-allowed=(string)1;"
    "application/x-rtp,media=video,encoding-name=VP8,payload=96,clock-rate=90000";

// A promise whose reply is handed to `handle` on whatever thread webrtcbin answers from.
PromiseRef promise(std::function<void(const GstStructure* reply)> handle)
{
    auto* owned = new std::function<void(const GstStructure*)>(std::move(handle));
    return PromiseRef(gst_promise_new_with_change_func(
        [](GstPromise* p, gpointer data) {
            const GstStructure* reply = gst_promise_get_reply(p);
            (*static_cast<std::function<void(const GstStructure*)>*>(data))(reply);
        },
        owned, [](gpointer data) { delete static_cast<std::function<void(const GstStructure*)>*>(data); }));
}

QString replyError(const GstStructure* reply)
{
    if (!reply || !gst_structure_has_field(reply, "error"))
        return {};
    GError* error = nullptr;
    gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
    QString text = QString::fromUtf8(error ? error->message : "error");
    g_clear_error(&error);
    return text.isEmpty() ? QStringLiteral("error") : text;
}

GstWebRTCSessionDescription* parseDescription(const SessionDescription& description)
{
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new_from_text(description.sdp.toUtf8().constData(), &sdp) != GST_SDP_OK || !sdp)
        return nullptr;
    // The parser accepts nearly anything; a description without media is of no use to us.
    if (gst_sdp_message_medias_len(sdp) == 0) {
        gst_sdp_message_free(sdp);
        return nullptr;
    }
    const auto type = description.type == SessionDescription::Type::Offer ? GST_WEBRTC_SDP_TYPE_OFFER : GST_WEBRTC_SDP_TYPE_ANSWER;
    return gst_webrtc_session_description_new(type, sdp);
}

// What we send at most when the phone says it takes messages of any size.
constexpr std::size_t kUnlimitedMessageSize = 256 * 1024;

QStringList mids(const QString& sdp)
{
    QStringList out;
    bool inMedia = false;
    for (const QString& line : sdp.split(QRegularExpression(QStringLiteral("\r?\n")))) {
        if (line.startsWith(QLatin1String("m="))) {
            inMedia = true;
            out << QString();
        } else if (inMedia && line.startsWith(QLatin1String("a=mid:"))) {
            out.last() = line.mid(6).trimmed();
        }
    }
    return out;
}
} // namespace

GstRtpSenderImpl::GstRtpSenderImpl(std::weak_ptr<GstPeerConnectionImpl> connection)
    : connection_(std::move(connection))
{
    parameters_.encodings.push_back({});
}

RtpParameters GstRtpSenderImpl::parameters() const
{
    QMutexLocker lock(&mutex_);
    return parameters_;
}

bool GstRtpSenderImpl::setParameters(const RtpParameters& parameters)
{
    if (parameters.encodings.size() != 1)
        return false; // one encoding: the screen
    {
        QMutexLocker lock(&mutex_);
        parameters_ = parameters;
    }
    if (auto connection = connection_.lock())
        connection->applySender(parameters);
    return true;
}

GstPeerConnectionImpl::GstPeerConnectionImpl(const Configuration& configuration, std::weak_ptr<PeerConnectionObserver> observer,
                                             const GstOptions& options)
    : configuration_(configuration)
    , observer_(std::move(observer))
    , options_(options)
    , maxMessageSize_(std::make_shared<std::atomic<std::size_t>>(DataChannel::kDefaultMaxMessageSize))
{
}

GstPeerConnectionImpl::~GstPeerConnectionImpl()
{
    close();
    delete context_;
}

std::shared_ptr<PeerConnectionObserver> GstPeerConnectionImpl::observer() const
{
    return observer_.lock();
}

bool GstPeerConnectionImpl::start()
{
    age_.start();
    webrtc_ = gst_element_factory_make("webrtcbin", nullptr);
    if (!webrtc_)
        return false;
    pipeline_.reset(gst_pipeline_new(nullptr));
    gst_bin_add(GST_BIN(pipeline_.get()), webrtc_);
    g_object_set(webrtc_, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);

    const Ref<GstObject> ice = iceAgentOf(webrtc_);
    paceConnectivityChecks(ice.get());
    if (options_.loopbackOnly) {
        // Only 127.0.0.1, and no STUN or TURN: nothing leaves this machine.
        if (!gatherOnLoopbackOnly(ice.get()))
            qCWarning(gstLog) << "could not restrict ICE to 127.0.0.1";
    } else {
        const auto servers = toGstIceServers(configuration_.iceServers);
        if (!servers.stun.isEmpty())
            g_object_set(webrtc_, "stun-server", servers.stun.toUtf8().constData(), nullptr);
        for (const QString& turn : servers.turn) {
            gboolean ok = FALSE;
            g_signal_emit_by_name(webrtc_, "add-turn-server", turn.toUtf8().constData(), &ok);
        }
    }

    context_ = new Context;
    context_->self = weak_from_this();
    auto onCandidate = +[](GstElement*, guint index, gchar* candidate, gpointer data) {
        if (auto self = static_cast<Context*>(data)->self.lock())
            self->onIceCandidate(index, candidate);
    };
    auto onState = +[](GObject*, GParamSpec*, gpointer data) {
        if (auto self = static_cast<Context*>(data)->self.lock())
            self->onConnectionState();
    };
    auto onPad = +[](GstElement*, GstPad* pad, gpointer data) {
        if (auto self = static_cast<Context*>(data)->self.lock())
            self->onPadAdded(pad);
    };
    auto onRemoteChannel = +[](GstElement*, GstWebRTCDataChannel*, gpointer) {
        // Channels the phone opens are not part of the protocol.
    };
    // Every RTP packet the connection sends, retransmissions included, passes this element
    // (between the retransmission sender and the RTP session): the pacer sits on it.
    auto onAuxSender = +[](GstElement*, GObject*, gpointer data) -> GstElement* {
        auto self = static_cast<Context*>(data)->self.lock();
        return self ? self->makePacedSender() : nullptr;
    };
    context_->handlers = {
        { webrtc_, g_signal_connect(webrtc_, "on-ice-candidate", G_CALLBACK(onCandidate), context_) },
        { webrtc_, g_signal_connect(webrtc_, "notify::connection-state", G_CALLBACK(onState), context_) },
        { webrtc_, g_signal_connect(webrtc_, "pad-added", G_CALLBACK(onPad), context_) },
        { webrtc_, g_signal_connect(webrtc_, "on-data-channel", G_CALLBACK(onRemoteChannel), context_) },
        { webrtc_, g_signal_connect(webrtc_, "request-aux-sender", G_CALLBACK(onAuxSender), context_) },
    };
    watchBus(pipeline_.get(), "peer");
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        qCWarning(gstLog) << "webrtcbin does not start";
        return false;
    }
    return true;
}

void GstPeerConnectionImpl::paceConnectivityChecks(GstObject* ice)
{
    // The ICE library sends one check per 20 ms tick and nominates on a later tick, which put
    // about 45 ms of waiting into every join. A phone offers few candidate pairs; 5 ms is the
    // shortest pacing ICE allows.
    if (!ice || !g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent"))
        return;
    GObject* rawAgent = nullptr;
    g_object_get(ice, "agent", &rawAgent, nullptr);
    const GObjectRef<GObject> agent(rawAgent);
    if (agent && g_object_class_find_property(G_OBJECT_GET_CLASS(agent.get()), "stun-pacing-timer"))
        g_object_set(agent.get(), "stun-pacing-timer", guint(kIcePacingMs), nullptr);
}

void GstPeerConnectionImpl::createOffer(DescriptionCallback done)
{
    if (closed_)
        return;
    std::weak_ptr<GstPeerConnectionImpl> weak = weak_from_this();
    PromiseRef p = promise([done, weak](const GstStructure* reply) {
        GstWebRTCSessionDescription* offer = nullptr;
        if (reply && gst_structure_has_field(reply, "offer"))
            gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
        if (!offer) {
            done(std::nullopt, replyError(reply).isEmpty() ? QStringLiteral("no offer") : replyError(reply));
            return;
        }
        if (auto self = weak.lock()) {
            qCDebug(gstLog) << "offer made after" << self->age_.elapsed() << "ms";
            self->nameStream(offer->sdp);
        }
        gchar* text = gst_sdp_message_as_text(offer->sdp);
        SessionDescription description { SessionDescription::Type::Offer, QString::fromUtf8(text) };
        g_free(text);
        gst_webrtc_session_description_free(offer);
        done(description, {});
    });
    g_signal_emit_by_name(webrtc_, "create-offer", nullptr, p.get());
}

void GstPeerConnectionImpl::nameStream(GstSDPMessage* sdp) const
{
    QString msid;
    {
        QMutexLocker lock(&mutex_);
        if (streamIds_.isEmpty() || trackId_.isEmpty())
            return;
        msid = streamIds_.first() + QChar(' ') + trackId_;
    }
    // webrtcbin names the stream only in ssrc lines, and only once media flowed; the phone
    // finds the screen by its stream id, so the video section says it itself.
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        auto* media = const_cast<GstSDPMedia*>(gst_sdp_message_get_media(sdp, i));
        if (g_strcmp0(gst_sdp_media_get_media(media), "video") != 0)
            continue;
        if (!gst_sdp_media_get_attribute_val(media, "msid"))
            gst_sdp_media_add_attribute(media, "msid", msid.toUtf8().constData());
        addRetransmission(media);
        // A phone that takes it shows frames as they come, without a jitter buffer's wait.
        addExtension(media, GstPlayoutDelay::kUri);
    }
}

void GstPeerConnectionImpl::setLocalDescription(const SessionDescription& description, CompletionCallback done)
{
    GstWebRTCSessionDescription* parsed = closed_ ? nullptr : parseDescription(description);
    if (!parsed) {
        if (done)
            done(false, QStringLiteral("malformed description"));
        return;
    }
    {
        QMutexLocker lock(&mutex_);
        localMids_ = mids(description.sdp);
    }
    std::weak_ptr<GstPeerConnectionImpl> weak = weak_from_this();
    Context* context = context_;
    PromiseRef p = promise([weak, context, done](const GstStructure* reply) {
        const QString error = replyError(reply);
        if (auto self = weak.lock())
            qCDebug(gstLog) << "offer in place after" << self->age_.elapsed() << "ms";
        if (done)
            done(error.isEmpty(), error);
        // Only now may the candidates out: the description they belong to has gone first.
        auto self = weak.lock();
        if (!self)
            return;
        std::vector<IceCandidate> early;
        {
            QMutexLocker lock(&context->mutex);
            context->localSet = true;
            early.swap(context->early);
        }
        if (auto observer = self->observer())
            for (const auto& candidate : early)
                observer->onIceCandidate(candidate);
    });
    g_signal_emit_by_name(webrtc_, "set-local-description", parsed, p.get());
    gst_webrtc_session_description_free(parsed);
}

void GstPeerConnectionImpl::setRemoteDescription(const SessionDescription& description, CompletionCallback done)
{
    GstWebRTCSessionDescription* parsed = closed_ ? nullptr : parseDescription(description);
    const auto codec = answeredCodec(description.sdp);
    const auto playoutDelayId = answeredExtension(description.sdp, GstPlayoutDelay::kUri);
    if (!parsed || (description.type == SessionDescription::Type::Answer && !codec)) {
        if (parsed)
            gst_webrtc_session_description_free(parsed);
        if (done)
            done(false, QStringLiteral("unusable description"));
        return;
    }
    // What the phone announced counts only once webrtcbin has taken its description.
    std::optional<std::size_t> announced = maxMessageSize(description.sdp);
    std::weak_ptr<GstPeerConnectionImpl> weak = weak_from_this();
    PromiseRef p = promise([weak, done, codec, announced, playoutDelayId](const GstStructure* reply) {
        const QString error = replyError(reply);
        if (error.isEmpty())
            if (auto self = weak.lock()) {
                qCDebug(gstLog) << "answer applied after" << self->age_.elapsed() << "ms";
                if (announced)
                    // 0 means "no limit"; a limit we send at most is still wise.
                    self->maxMessageSize_->store(*announced == 0 ? kUnlimitedMessageSize : *announced);
                {
                    QMutexLocker lock(&self->mutex_);
                    if (!self->codec_) {
                        self->codec_ = codec;
                        self->playoutDelayId_ = playoutDelayId;
                    }
                }
                self->connectVideo();
            }
        if (done)
            done(error.isEmpty(), error);
    });
    g_signal_emit_by_name(webrtc_, "set-remote-description", parsed, p.get());
    gst_webrtc_session_description_free(parsed);
}

void GstPeerConnectionImpl::addIceCandidate(const IceCandidate& candidate, CompletionCallback done)
{
    const QByteArray line = candidate.candidate.toUtf8();
    if (closed_ || candidate.sdpMLineIndex < 0 || !line.startsWith("candidate:")) {
        if (done)
            done(false, QStringLiteral("malformed candidate"));
        return;
    }
    g_signal_emit_by_name(webrtc_, "add-ice-candidate", guint(candidate.sdpMLineIndex), line.constData());
    if (done)
        done(true, {});
}

GstElement* GstPeerConnectionImpl::makePacedSender()
{
    QMutexLocker lock(&mutex_);
    if (pacer_ || closed_ || !options_.adaptRate)
        return nullptr; // one transport (bundled): one pacer
    GstElement* element = gst_element_factory_make("identity", nullptr);
    GstPad* sink = gst_element_get_static_pad(element, "sink");
    pacer_ = std::make_unique<GstPacer>(sink, int(BandwidthController::kStartBps * kPacingFactor));
    gst_object_unref(sink);
    if (codec_)
        pacer_->setMediaPayloadType(payloadType(*codec_));
    return element;
}

std::shared_ptr<RtpSender> GstPeerConnectionImpl::addTrack(std::shared_ptr<VideoTrack> track, const QStringList& streamIds)
{
    auto source = track ? std::dynamic_pointer_cast<GstVideoSource>(track->source()) : nullptr;
    if (!source || transceiver_ || closed_)
        return nullptr;
    GstCaps* caps = gst_caps_from_string(kVideoCodecs);
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(webrtc_, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, caps, &transceiver);
    gst_caps_unref(caps);
    transceiver_.reset(transceiver);
    if (!transceiver_)
        return nullptr;
    // Lost packets are sent again when the phone asks (NACK, as RTX): on a lossy path one lost
    // packet would otherwise spoil its picture and every one after it until a key frame.
    g_object_set(transceiver_.get(), "do-nack", TRUE, nullptr);
    QMutexLocker lock(&mutex_);
    video_ = source;
    streamIds_ = streamIds;
    trackId_ = track->id();
    return std::make_shared<GstRtpSenderImpl>(weak_from_this());
}

std::shared_ptr<DataChannel> GstPeerConnectionImpl::createDataChannel(const QString& label, const DataChannelInit& init)
{
    if (closed_)
        return nullptr;
    GstStructure* options = gst_structure_new("options", "ordered", G_TYPE_BOOLEAN, gboolean(init.ordered), nullptr);
    GstWebRTCDataChannel* raw = nullptr;
    g_signal_emit_by_name(webrtc_, "create-data-channel", label.toUtf8().constData(), options, &raw);
    gst_structure_free(options);
    if (!raw)
        return nullptr;
    auto channel = std::make_shared<GstDataChannelImpl>(raw, maxMessageSize_);
    channel->start();
    channel->setBufferedAmountLowThreshold(256 * 1024);
    channels_.push_back(channel);
    return channel;
}

void GstPeerConnectionImpl::onIceCandidate(guint index, const char* line)
{
    IceCandidate candidate;
    candidate.candidate = QString::fromUtf8(line);
    candidate.sdpMLineIndex = int(index);
    {
        QMutexLocker lock(&mutex_);
        if (int(index) < localMids_.size() && !localMids_[int(index)].isEmpty())
            candidate.sdpMid = localMids_[int(index)];
    }
    {
        QMutexLocker lock(&context_->mutex);
        if (!context_->localSet) {
            context_->early.push_back(candidate);
            return;
        }
    }
    if (auto observer = this->observer())
        observer->onIceCandidate(candidate);
}

void GstPeerConnectionImpl::onConnectionState()
{
    GstElement* webrtc = webrtc_;
    if (closed_ || !webrtc)
        return;
    GstWebRTCPeerConnectionState raw = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "connection-state", &raw, nullptr);
    PeerConnectionState state = PeerConnectionState::New;
    switch (raw) {
    case GST_WEBRTC_PEER_CONNECTION_STATE_NEW: state = PeerConnectionState::New; break;
    case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING: state = PeerConnectionState::Connecting; break;
    case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED: state = PeerConnectionState::Connected; break;
    case GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED: state = PeerConnectionState::Disconnected; break;
    case GST_WEBRTC_PEER_CONNECTION_STATE_FAILED: state = PeerConnectionState::Failed; break;
    case GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED: state = PeerConnectionState::Closed; break;
    }
    if (state_.exchange(state) == state || closed_)
        return;
    qCDebug(gstLog) << "connection" << toString(state) << "after" << age_.elapsed() << "ms";
    if (state == PeerConnectionState::Connected)
        startVideo();
    if (auto observer = this->observer())
        observer->onConnectionStateChange(state);
}

void GstPeerConnectionImpl::onPadAdded(GstPad* pad)
{
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SINK)
        return;
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(pad, "transceiver", &transceiver, nullptr);
    const bool ours = transceiver && transceiver == transceiver_.get();
    if (transceiver)
        gst_object_unref(transceiver);
    if (!ours)
        return;
    {
        QMutexLocker lock(&mutex_);
        if (sinkPad_)
            return;
        sinkPad_.reset(GST_PAD(gst_object_ref(pad)));
    }
    connectVideo();
}

} // namespace rtc::gst
