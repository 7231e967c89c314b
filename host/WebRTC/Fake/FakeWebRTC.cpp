#include "WebRTC/Fake/FakeWebRTC.h"

#include <QMutexLocker>
#include <QTimer>

namespace rtc {

namespace {
// Completions of a real library arrive later, on another thread; the fake delivers them on a
// later turn of the current event loop so callers cannot rely on synchronous completion.
void later(std::function<void()> work)
{
    QTimer::singleShot(0, [work = std::move(work)] { work(); });
}

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
    QMutexLocker lock(&mutex_);
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

void FakeDataChannel::setState(DataChannelState state)
{
    state_ = state;
    if (auto observer = observer_.lock())
        observer->onStateChange(*this);
}

void FakeDataChannel::receive(const QByteArray& data, bool binary)
{
    if (auto observer = observer_.lock())
        observer->onMessage(*this, data, binary);
}

QList<FakeDataChannel::Sent> FakeDataChannel::sent() const
{
    QMutexLocker lock(&mutex_);
    return sent_;
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
    QMutexLocker lock(&mutex_);
    return parameters_;
}

bool FakeRtpSender::setParameters(const RtpParameters& parameters)
{
    QMutexLocker lock(&mutex_);
    if (parameters.encodings.size() != parameters_.encodings.size())
        return false; // like real libraries: the encoding count cannot change here
    parameters_ = parameters;
    ++setCalls_;
    return true;
}

void FakeVideoSource::pushFrame(const VideoFrame& frame)
{
    QMutexLocker lock(&mutex_);
    last_ = frame;
    ++frames_;
}

VideoFrame FakeVideoSource::lastFrame() const
{
    QMutexLocker lock(&mutex_);
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
    pendingOffer_ = std::move(done);
    if (!factory_->holdOffers) {
        std::weak_ptr<FakePeerConnection> weak = shared_from_this();
        later([weak] {
            if (auto self = weak.lock(); self && self->pendingOffer_)
                self->completeOffer(true);
        });
    }
}

void FakePeerConnection::completeOffer(bool succeed)
{
    auto done = std::move(pendingOffer_);
    pendingOffer_ = nullptr;
    if (!done)
        return;
    if (succeed)
        done(SessionDescription { SessionDescription::Type::Offer, placeholderSdp(serial_) }, {});
    else
        done(std::nullopt, QStringLiteral("offer failed"));
}

void FakePeerConnection::setLocalDescription(const SessionDescription& description, CompletionCallback done)
{
    local_ = description;
    // The local description takes effect at once, so a following candidate cannot overtake it.
    if (done)
        done(true, {});
}

void FakePeerConnection::setRemoteDescription(const SessionDescription& description, CompletionCallback done)
{
    ++remoteCalls_;
    // Like real libraries: an answer is taken once; a second finds the session stable.
    const bool ok = !factory_->failRemoteDescriptions && !remote_;
    if (ok)
        remote_ = description;
    if (done)
        later([done, ok] { done(ok, ok ? QString() : QStringLiteral("unusable description")); });
}

void FakePeerConnection::addIceCandidate(const IceCandidate& candidate, CompletionCallback done)
{
    {
        QMutexLocker lock(&mutex_);
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
    channels_.append(channel);
    ordered_.append(init.ordered);
    return channel;
}

void FakePeerConnection::close()
{
    if (closed_.exchange(true))
        return;
    for (const auto& channel : channels_)
        channel->close();
    setConnectionState(PeerConnectionState::Closed);
}

void FakePeerConnection::emitCandidate(const IceCandidate& candidate)
{
    if (auto observer = observer_.lock())
        observer->onIceCandidate(candidate);
}

void FakePeerConnection::setConnectionState(PeerConnectionState state)
{
    state_ = state;
    if (auto observer = observer_.lock())
        observer->onConnectionStateChange(state);
}

std::shared_ptr<FakeDataChannel> FakePeerConnection::channel(const QString& label) const
{
    for (const auto& channel : channels_)
        if (channel->label() == label)
            return channel;
    return nullptr;
}

QList<IceCandidate> FakePeerConnection::remoteCandidates() const
{
    QMutexLocker lock(&mutex_);
    return remoteCandidates_;
}

QStringList FakePeerConnection::channelLabels() const
{
    QStringList labels;
    for (const auto& channel : channels_)
        labels << channel->label();
    return labels;
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
    QMutexLocker lock(&mutex_);
    auto pc = std::make_shared<FakePeerConnection>(this, configuration, std::move(observer), ++serial_);
    connections_.append(pc);
    return pc;
}

QList<std::shared_ptr<FakePeerConnection>> FakePeerConnectionFactory::connections() const
{
    QMutexLocker lock(&mutex_);
    return connections_;
}

std::shared_ptr<FakePeerConnection> FakePeerConnectionFactory::last() const
{
    QMutexLocker lock(&mutex_);
    return connections_.isEmpty() ? nullptr : connections_.last();
}

} // namespace rtc
