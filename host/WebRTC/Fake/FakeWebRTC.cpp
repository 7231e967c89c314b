#include "WebRTC/Fake/FakeWebRTC.h"

#include "WebRTC/Fake/FakeEventThread.h"

namespace rtc {

using Lock = std::lock_guard<std::mutex>;
using fake::fire;
using fake::later;

namespace {
QString placeholderSdp(int serial)
{
    return QStringLiteral("v=0\r\no=- %1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n"
                          "a=group:BUNDLE 0 1\r\n"
                          "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=mid:0\r\na=sendonly\r\n"
                          "a=rtpmap:96 VP8/90000\r\n"
                          "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\na=mid:1\r\n")
        .arg(1000 + serial);
}
} // namespace

bool FakeDataChannel::send(const QByteArray& data, bool binary)
{
    if (state_ != DataChannelState::Open)
        return false;
    Lock lock(mutex_);
    sent_.append({ data, binary });
    return true;
}

void FakeDataChannel::close()
{
    ++closeCalls_;
    if (state_ == DataChannelState::Closed)
        return;
    setState(DataChannelState::Closed);
}

void FakeDataChannel::setObserver(std::weak_ptr<DataChannelObserver> observer)
{
    Lock lock(mutex_);
    observer_ = std::move(observer);
}

void FakeDataChannel::setState(DataChannelState state)
{
    fire([&] {
        state_ = state;
        std::weak_ptr<DataChannelObserver> weak;
        {
            Lock lock(mutex_);
            weak = observer_;
        }
        if (auto observer = weak.lock())
            observer->onStateChange(*this);
    });
}

void FakeDataChannel::receive(const QByteArray& data, bool binary)
{
    fire([&] {
        std::weak_ptr<DataChannelObserver> weak;
        {
            Lock lock(mutex_);
            weak = observer_;
        }
        if (auto observer = weak.lock())
            observer->onMessage(*this, data, binary);
    });
}

QList<FakeDataChannel::Sent> FakeDataChannel::sent() const
{
    Lock lock(mutex_);
    // A copy of its own: a shared one would be copied later, outside the lock, while the
    // sending thread appends.
    QList<Sent> copy = sent_;
    copy.detach();
    return copy;
}

QList<QByteArray> FakeDataChannel::sentText() const
{
    QList<QByteArray> out;
    for (const auto& s : sent())
        if (!s.binary)
            out.append(s.data);
    return out;
}

RtpParameters FakeRtpSender::parameters() const
{
    Lock lock(mutex_);
    return parameters_;
}

bool FakeRtpSender::setParameters(const RtpParameters& parameters)
{
    Lock lock(mutex_);
    if (parameters.encodings.size() != parameters_.encodings.size())
        return false; // like real libraries: the encoding count cannot change here
    parameters_ = parameters;
    ++setCalls_;
    return true;
}

void FakeVideoSource::pushFrame(const VideoFrame& frame)
{
    Lock lock(mutex_);
    last_ = frame;
    ++frames_;
}

VideoFrame FakeVideoSource::lastFrame() const
{
    Lock lock(mutex_);
    return last_;
}

FakePeerConnection::FakePeerConnection(FakePeerConnectionFactory* factory, Configuration configuration,
                                       std::weak_ptr<PeerConnectionObserver> observer, int serial)
    : factory_(factory)
    , configuration_(std::move(configuration))
    , observer_(std::move(observer))
    , serial_(serial)
{
}

void FakePeerConnection::createOffer(DescriptionCallback done)
{
    {
        Lock lock(mutex_);
        pendingOffer_ = std::move(done);
    }
    if (!factory_->holdOffers) {
        std::weak_ptr<FakePeerConnection> weak = shared_from_this();
        later([weak] {
            if (auto self = weak.lock())
                self->completeOffer(true);
        });
    }
}

bool FakePeerConnection::hasPendingOffer() const
{
    Lock lock(mutex_);
    return bool(pendingOffer_);
}

void FakePeerConnection::completeOffer(bool succeed)
{
    DescriptionCallback done;
    {
        Lock lock(mutex_);
        done = std::exchange(pendingOffer_, nullptr);
    }
    if (!done)
        return;
    fire([&] {
        if (succeed)
            done(SessionDescription { SessionDescription::Type::Offer, placeholderSdp(serial_) }, {});
        else
            done(std::nullopt, QStringLiteral("offer failed"));
    });
}

void FakePeerConnection::setLocalDescription(const SessionDescription& description, CompletionCallback done)
{
    {
        Lock lock(mutex_);
        local_ = description;
    }
    // The local description takes effect at once, so a following candidate cannot overtake it.
    if (done)
        fire([&] { done(true, {}); });
}

void FakePeerConnection::setRemoteDescription(const SessionDescription& description, CompletionCallback done)
{
    ++remoteCalls_;
    bool ok;
    {
        Lock lock(mutex_);
        // Like real libraries: an answer is taken once; a second finds the session stable.
        ok = !factory_->failRemoteDescriptions && !remote_;
        if (ok)
            remote_ = description;
    }
    if (done)
        later([done, ok] { done(ok, ok ? QString() : QStringLiteral("unusable description")); });
}

void FakePeerConnection::addIceCandidate(const IceCandidate& candidate, CompletionCallback done)
{
    {
        Lock lock(mutex_);
        remoteCandidates_.append(candidate);
    }
    const bool ok = !factory_->failCandidates;
    if (done)
        later([done, ok] { done(ok, ok ? QString() : QStringLiteral("malformed candidate")); });
}

std::shared_ptr<RtpSender> FakePeerConnection::addTrack(std::shared_ptr<VideoTrack> track, const QStringList& streamIds)
{
    if (factory_->failSenders)
        return nullptr;
    Lock lock(mutex_);
    track_ = std::move(track);
    streamIds_ = streamIds;
    sender_ = std::make_shared<FakeRtpSender>();
    return sender_;
}

std::shared_ptr<DataChannel> FakePeerConnection::createDataChannel(const QString& label, const DataChannelInit& init)
{
    if (factory_->failChannels)
        return nullptr;
    auto channel = std::make_shared<FakeDataChannel>(label);
    Lock lock(mutex_);
    channels_.append(channel);
    ordered_.append(init.ordered);
    return channel;
}

void FakePeerConnection::close()
{
    if (closed_.exchange(true))
        return;
    QList<std::shared_ptr<FakeDataChannel>> channels;
    {
        Lock lock(mutex_);
        channels = channels_;
    }
    for (const auto& channel : channels)
        channel->close();
    setConnectionState(PeerConnectionState::Closed);
}

void FakePeerConnection::emitCandidate(const IceCandidate& candidate)
{
    fire([&] {
        if (auto observer = observer_.lock())
            observer->onIceCandidate(candidate);
    });
}

void FakePeerConnection::setConnectionState(PeerConnectionState state)
{
    fire([&] {
        state_ = state;
        if (auto observer = observer_.lock())
            observer->onConnectionStateChange(state);
    });
}

std::shared_ptr<FakeDataChannel> FakePeerConnection::channel(const QString& label) const
{
    Lock lock(mutex_);
    for (const auto& channel : channels_)
        if (channel->label() == label)
            return channel;
    return nullptr;
}

std::optional<SessionDescription> FakePeerConnection::localDescription() const
{
    Lock lock(mutex_);
    return local_;
}

std::optional<SessionDescription> FakePeerConnection::remoteDescription() const
{
    Lock lock(mutex_);
    return remote_;
}

QList<IceCandidate> FakePeerConnection::remoteCandidates() const
{
    Lock lock(mutex_);
    return remoteCandidates_;
}

std::shared_ptr<FakeRtpSender> FakePeerConnection::sender() const
{
    Lock lock(mutex_);
    return sender_;
}

QStringList FakePeerConnection::streamIds() const
{
    Lock lock(mutex_);
    return streamIds_;
}

std::shared_ptr<VideoTrack> FakePeerConnection::track() const
{
    Lock lock(mutex_);
    return track_;
}

QStringList FakePeerConnection::channelLabels() const
{
    Lock lock(mutex_);
    QStringList labels;
    for (const auto& channel : channels_)
        labels << channel->label();
    return labels;
}

QList<bool> FakePeerConnection::channelOrdered() const
{
    Lock lock(mutex_);
    return ordered_;
}

std::shared_ptr<VideoSource> FakePeerConnectionFactory::createVideoSource(bool isScreencast)
{
    lastSourceWasScreencast = isScreencast;
    return std::make_shared<FakeVideoSource>();
}

std::shared_ptr<VideoTrack> FakePeerConnectionFactory::createVideoTrack(std::shared_ptr<VideoSource> source, const QString& trackId)
{
    return std::make_shared<BasicVideoTrack>(std::move(source), trackId);
}

std::shared_ptr<PeerConnection> FakePeerConnectionFactory::createPeerConnection(const Configuration& configuration,
                                                                                std::weak_ptr<PeerConnectionObserver> observer)
{
    if (failPeerConnections)
        return nullptr;
    Lock lock(mutex_);
    auto pc = std::make_shared<FakePeerConnection>(this, configuration, std::move(observer), ++serial_);
    connections_.append(pc);
    return pc;
}

QList<std::shared_ptr<FakePeerConnection>> FakePeerConnectionFactory::connections() const
{
    Lock lock(mutex_);
    return connections_;
}

std::shared_ptr<FakePeerConnection> FakePeerConnectionFactory::last() const
{
    Lock lock(mutex_);
    return connections_.isEmpty() ? nullptr : connections_.last();
}

} // namespace rtc
