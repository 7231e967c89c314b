#pragma once
// In-memory WebRTC for tests and for running without a media stack: records every call and
// lets a test fire the events a real library would (candidates, state changes, messages), on
// the caller's thread or on a thread of the fakes' own (see FakeEventThread.h).
//
// Every fake may be called from any thread; plain std::mutex keeps them visible to
// ThreadSanitizer.

#include "WebRTC/WebRTC.h"

#include <QList>

#include <atomic>
#include <mutex>

namespace rtc {

class FakeDataChannel : public DataChannel, public std::enable_shared_from_this<FakeDataChannel> {
public:
    explicit FakeDataChannel(QString label) : label_(std::move(label)) {}

    QString label() const override { return label_; }
    DataChannelState state() const override { return state_; }
    uint64_t bufferedAmount() const override { return buffered_; }
    std::size_t maxMessageSize() const override { return maxMessageSize_; }
    void setObserver(std::weak_ptr<DataChannelObserver> observer) override;
    bool send(const QByteArray& data, bool binary) override;
    void close() override;

    // Test controls.
    void setState(DataChannelState state); // fires onStateChange
    void receive(const QByteArray& data, bool binary = false);
    void setMaxMessageSize(std::size_t size) { maxMessageSize_ = size; }
    void setBufferedAmount(uint64_t amount) { buffered_ = amount; }
    struct Sent { QByteArray data; bool binary; };
    QList<Sent> sent() const;
    QList<QByteArray> sentText() const;
    bool closed() const { return closeCalls_ > 0; }

private:
    QString label_;
    std::atomic<DataChannelState> state_ { DataChannelState::Connecting };
    std::atomic<uint64_t> buffered_ { 0 };
    std::atomic<std::size_t> maxMessageSize_ { kDefaultMaxMessageSize };
    mutable std::mutex mutex_;
    std::weak_ptr<DataChannelObserver> observer_;
    QList<Sent> sent_;
    std::atomic<int> closeCalls_ { 0 };
};

class FakeRtpSender : public RtpSender {
public:
    FakeRtpSender() { parameters_.encodings.push_back({}); }
    RtpParameters parameters() const override;
    bool setParameters(const RtpParameters& parameters) override;
    int setCalls() const { return setCalls_; }

private:
    mutable std::mutex mutex_;
    RtpParameters parameters_;
    std::atomic<int> setCalls_ { 0 };
};

class FakeVideoSource : public VideoSource {
public:
    void pushFrame(const VideoFrame& frame) override;
    int frames() const { return frames_; }
    VideoFrame lastFrame() const;

private:
    mutable std::mutex mutex_;
    std::atomic<int> frames_ { 0 };
    VideoFrame last_;
};

class FakePeerConnectionFactory;

class FakePeerConnection : public PeerConnection, public std::enable_shared_from_this<FakePeerConnection> {
public:
    FakePeerConnection(FakePeerConnectionFactory* factory, Configuration configuration,
                       std::weak_ptr<PeerConnectionObserver> observer, int serial);

    void createOffer(DescriptionCallback done) override;
    void setLocalDescription(const SessionDescription& description, CompletionCallback done) override;
    void setRemoteDescription(const SessionDescription& description, CompletionCallback done) override;
    void addIceCandidate(const IceCandidate& candidate, CompletionCallback done) override;
    std::shared_ptr<RtpSender> addTrack(std::shared_ptr<VideoTrack> track, const QStringList& streamIds) override;
    std::shared_ptr<DataChannel> createDataChannel(const QString& label, const DataChannelInit& init) override;
    PeerConnectionState connectionState() const override { return state_; }
    void close() override;

    // Test controls.
    bool hasPendingOffer() const;
    void completeOffer(bool succeed = true); // runs the held createOffer completion
    void emitCandidate(const IceCandidate& candidate);
    void setConnectionState(PeerConnectionState state); // fires the observer
    std::shared_ptr<FakeDataChannel> channel(const QString& label) const;

    const Configuration& configuration() const { return configuration_; }
    std::optional<SessionDescription> localDescription() const;
    std::optional<SessionDescription> remoteDescription() const;
    int remoteDescriptionCalls() const { return remoteCalls_; }
    QList<IceCandidate> remoteCandidates() const;
    std::shared_ptr<FakeRtpSender> sender() const;
    QStringList streamIds() const;
    std::shared_ptr<VideoTrack> track() const;
    QStringList channelLabels() const;
    QList<bool> channelOrdered() const;
    bool closed() const { return closed_; }
    int serial() const { return serial_; }

private:
    FakePeerConnectionFactory* factory_;
    Configuration configuration_;
    std::weak_ptr<PeerConnectionObserver> observer_;
    int serial_;
    std::atomic<int> remoteCalls_ { 0 };
    mutable std::mutex mutex_; // guards everything below but the atomics
    DescriptionCallback pendingOffer_;
    std::optional<SessionDescription> local_;
    std::optional<SessionDescription> remote_;
    QList<IceCandidate> remoteCandidates_;
    std::shared_ptr<FakeRtpSender> sender_;
    std::shared_ptr<VideoTrack> track_;
    QStringList streamIds_;
    QList<std::shared_ptr<FakeDataChannel>> channels_;
    QList<bool> ordered_;
    std::atomic<PeerConnectionState> state_ { PeerConnectionState::New };
    std::atomic<bool> closed_ { false };
};

class FakePeerConnectionFactory : public PeerConnectionFactory {
public:
    std::shared_ptr<VideoSource> createVideoSource(bool isScreencast) override;
    std::shared_ptr<VideoTrack> createVideoTrack(std::shared_ptr<VideoSource> source, const QString& trackId) override;
    std::shared_ptr<PeerConnection> createPeerConnection(const Configuration& configuration,
                                                         std::weak_ptr<PeerConnectionObserver> observer) override;

    // Test controls.
    std::atomic<bool> holdOffers { false }; // keep createOffer pending until completeOffer()
    std::atomic<bool> failPeerConnections { false };
    std::atomic<bool> failSenders { false };
    std::atomic<bool> failChannels { false };
    std::atomic<bool> failRemoteDescriptions { false };
    std::atomic<bool> failCandidates { false };
    std::atomic<bool> lastSourceWasScreencast { false };
    QList<std::shared_ptr<FakePeerConnection>> connections() const;
    std::shared_ptr<FakePeerConnection> last() const;

private:
    mutable std::mutex mutex_;
    QList<std::shared_ptr<FakePeerConnection>> connections_;
    int serial_ = 0;
};

} // namespace rtc
