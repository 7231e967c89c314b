#pragma once
// One phone's connection: a webrtcbin in a pipeline of its own, the video it sends fed from
// the encoder group of its level, and the data channels.

#include "WebRTC/GstDataChannel.h"
#include "WebRTC/GstPacer.h"
#include "WebRTC/GstPlayoutDelay.h"
#include "WebRTC/GstRateAdapter.h"
#include "WebRTC/GstSdp.h"
#include "WebRTC/GstVideoFeed.h"
#include "WebRTC/GstVideoSource.h"
#include "WebRTC/GstWebRTC.h"
#include "WebRTC/RateLadder.h"

#include <QElapsedTimer>
#include <QMutex>

#include <atomic>

namespace rtc::gst {

class GstPeerConnectionImpl;

class GstRtpSenderImpl : public RtpSender {
public:
    explicit GstRtpSenderImpl(std::weak_ptr<GstPeerConnectionImpl> connection);
    RtpParameters parameters() const override;
    bool setParameters(const RtpParameters& parameters) override;

private:
    std::weak_ptr<GstPeerConnectionImpl> connection_;
    mutable QMutex mutex_;
    RtpParameters parameters_;
};

class GstPeerConnectionImpl : public PeerConnection, public std::enable_shared_from_this<GstPeerConnectionImpl> {
public:
    GstPeerConnectionImpl(const Configuration& configuration, std::weak_ptr<PeerConnectionObserver> observer,
                          const GstOptions& options);
    ~GstPeerConnectionImpl() override;
    // Builds the pipeline and connects signals; false when webrtcbin cannot be made.
    bool start();

    void createOffer(DescriptionCallback done) override;
    void setLocalDescription(const SessionDescription& description, CompletionCallback done) override;
    void setRemoteDescription(const SessionDescription& description, CompletionCallback done) override;
    void addIceCandidate(const IceCandidate& candidate, CompletionCallback done) override;
    std::shared_ptr<RtpSender> addTrack(std::shared_ptr<VideoTrack> track, const QStringList& streamIds) override;
    std::shared_ptr<DataChannel> createDataChannel(const QString& label, const DataChannelInit& init) override;
    PeerConnectionState connectionState() const override { return state_; }
    void close() override;

    // From the sender: where the video should come from now.
    void applySender(const RtpParameters& parameters);

    // How long a closing connection waits for its channels' close to reach the phone.
    static constexpr int kCloseWaitMs = 250;
    // ...and at most this long for a channel whose queued data must go before its reset.
    static constexpr int kCloseWaitQueuedMs = 1000;
    // ...and then this long for the last packets of the closing to leave.
    static constexpr int kCloseLingerMs = 100;
    // Video packets leave at this many times the rate the path carries: fast enough that a
    // frame at that rate is out well before the next, slow enough that a key frame does not
    // overflow a slow link's queue.
    static constexpr double kPacingFactor = 2.5;
    // A level's bit rate when the sender parameters name none.
    static constexpr int kDefaultBitrate = 2'000'000;
    // Time between two connectivity checks (ICE's Ta).
    static constexpr int kIcePacingMs = 5;

private:
    // What the signal handlers hold: a weak handle, so a late signal after the wrapper is gone
    // does nothing; and the candidates gathered before the local description's completion ran.
    struct Context {
        std::weak_ptr<GstPeerConnectionImpl> self;
        std::vector<std::pair<gpointer, gulong>> handlers;
        QMutex mutex; // guards the handlers, localSet and early
        bool localSet = false;
        std::vector<IceCandidate> early;
    };
    static void paceConnectivityChecks(GstObject* ice);
    // Adds "a=msid:<stream> <track>" to the offer's video section.
    void nameStream(GstSDPMessage* sdp) const;
    void onIceCandidate(guint mlineIndex, const char* candidate);
    void onConnectionState();
    void onPadAdded(GstPad* pad);
    // webrtcbin's aux sender: an element all sent RTP passes, with the pacer on it.
    GstElement* makePacedSender();
    void connectVideo();
    // The level wanted_ asks for in `codec`, on the rung the path is on; wanted_ has an
    // encoding. Under mutex_.
    LevelKey wantedLevel(Codec codec) const;
    // The wanted level's bit rate (before any rung); wanted_ has an encoding. Under mutex_.
    int levelMaxBps() const;
    // What the path may carry at the wanted level, for a picture of `size` when known. Under mutex_.
    BandwidthController::Limits pathLimits(QSize size = {}) const;
    // Calls startVideo() once DTLS is up.
    void watchDtls();
    // Once the phone can receive: the feed goes live and the phone gets a key frame.
    void startVideo();
    void subscribe();
    void unsubscribe();
    // A key frame of the current screen, now: for a phone that joined, connected or lost one.
    void refreshVideo();
    // What the phone's path carries now, from its receiver reports: the group aims no higher.
    void startRateAdapter();
    void applyRate(const BandwidthController::Target& target);
    // Stops the pipeline once its channels have closed on the wire (at most kCloseWaitMs).
    static void endPipeline(Ref<GstElement> pipeline, std::vector<std::shared_ptr<GstDataChannelImpl>> channels);
    std::shared_ptr<PeerConnectionObserver> observer() const;

    // For the debug log: how long each step of a join takes.
    QElapsedTimer age_;
    Configuration configuration_;
    std::weak_ptr<PeerConnectionObserver> observer_;
    GstOptions options_;
    Ref<GstElement> pipeline_;
    GstElement* webrtc_ = nullptr; // the pipeline's
    Ref<GstWebRTCRTPTransceiver> transceiver_;
    Context* context_ = nullptr;
    std::atomic<PeerConnectionState> state_ { PeerConnectionState::New };
    std::atomic<bool> closed_ { false };
    std::atomic<bool> dtlsUp_ { false };
    std::shared_ptr<std::atomic<std::size_t>> maxMessageSize_;
    std::vector<std::shared_ptr<GstDataChannelImpl>> channels_;

    // Video: everything below is guarded by mutex_.
    mutable QMutex mutex_;
    std::shared_ptr<GstVideoSource> video_;
    QStringList streamIds_;
    QString trackId_;
    std::optional<Codec> codec_;
    std::optional<int> playoutDelayId_; // the answer's id for the playout-delay extension
    std::unique_ptr<GstPlayoutDelay> playoutDelay_;
    Ref<GstPad> sinkPad_;            // webrtcbin's pad for our transceiver, once it exists
    GstElement* videoSource_ = nullptr; // appsrc of encoded frames
    std::optional<RtpParameters> wanted_;
    std::shared_ptr<EncoderGroup> group_;
    int subscription_ = 0;
    std::shared_ptr<VideoFeed> feed_; // what the group's frames go through to videoSource_
    std::unique_ptr<GstRateAdapter> rate_;
    std::unique_ptr<GstPacer> pacer_;
    std::optional<RateLadder> ladder_; // from the first sender parameters on
    std::shared_ptr<EncoderGroup> warmGroup_; // started before the answer, see subscribe()
    int warmSubscription_ = 0;
    QStringList localMids_;
};

} // namespace rtc::gst
