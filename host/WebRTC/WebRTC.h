#pragma once
// Our own small WebRTC API: the operations and events the host needs, independent of the
// library behind them. Events are delivered on the implementation's own threads; callers hop
// to their thread themselves. Objects are shared_ptr-owned; observers are held weakly so a late
// event after its owner is gone does nothing.

#include <QByteArray>
#include <QRect>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

namespace rtc {

struct IceServer {
    QStringList urls;
    std::optional<QString> username;
    std::optional<QString> credential;
    bool operator==(const IceServer&) const = default;
};

enum class SdpSemantics { UnifiedPlan };
enum class GatheringPolicy { Once, Continually };

struct Configuration {
    std::vector<IceServer> iceServers;
    SdpSemantics sdpSemantics = SdpSemantics::UnifiedPlan;
    GatheringPolicy gatheringPolicy = GatheringPolicy::Continually;
};

struct SessionDescription {
    enum class Type { Offer, Answer };
    Type type = Type::Offer;
    QString sdp;
};

struct IceCandidate {
    QString candidate;             // the "candidate:…" line
    std::optional<QString> sdpMid; // media id, when the library gives one
    int sdpMLineIndex = 0;
};

enum class PeerConnectionState { New, Connecting, Connected, Disconnected, Failed, Closed };
enum class DataChannelState { Connecting, Open, Closing, Closed };
enum class DegradationPreference { Balanced, MaintainFramerate, MaintainResolution, Disabled };

std::ostream& operator<<(std::ostream&, PeerConnectionState);
std::ostream& operator<<(std::ostream&, DataChannelState);
const char* toString(PeerConnectionState);
const char* toString(DataChannelState);

struct RtpEncodingParameters {
    bool active = true;
    std::optional<int> maxBitrateBps;
    std::optional<double> maxFramerate;
    std::optional<double> scaleResolutionDownBy;
    bool operator==(const RtpEncodingParameters&) const = default;
};

struct RtpParameters {
    DegradationPreference degradationPreference = DegradationPreference::Balanced;
    std::vector<RtpEncodingParameters> encodings;
};

// One frame pushed into a video source: bi-planar 4:2:0 (NV12), studio-range BT.601.
struct VideoFrame {
    int width = 0;
    int height = 0;
    int strideY = 0;
    int strideUV = 0;
    std::shared_ptr<const QByteArray> data; // Y plane followed by the interleaved UV plane
    int64_t timestampNs = 0;
    quint64 number = 0; // counts captured frames from 1; 0: not counted
    // What changed since frame number - 1 (empty: nothing); unknown: everything may have.
    std::optional<std::vector<QRect>> changed;
};

class DataChannel;

class DataChannelObserver {
public:
    virtual ~DataChannelObserver() = default;
    virtual void onStateChange(DataChannel& channel) = 0;
    virtual void onMessage(DataChannel& channel, const QByteArray& data, bool binary) = 0;
    virtual void onBufferedAmountLow(DataChannel&) {}
};

class DataChannel {
public:
    // Without a=max-message-size in either description, this is what both ends accept.
    static constexpr std::size_t kDefaultMaxMessageSize = 64 * 1024;

    virtual ~DataChannel() = default;
    virtual QString label() const = 0;
    virtual DataChannelState state() const = 0;
    virtual uint64_t bufferedAmount() const = 0;
    // Largest message the remote end accepts; larger sends would be dropped by the transport.
    virtual std::size_t maxMessageSize() const = 0;
    virtual void setObserver(std::weak_ptr<DataChannelObserver> observer) = 0;
    // Queued in order; false when the channel cannot take it.
    virtual bool send(const QByteArray& data, bool binary) = 0;
    virtual void close() = 0;
};

struct DataChannelInit {
    bool ordered = true;
};

class RtpSender {
public:
    virtual ~RtpSender() = default;
    virtual RtpParameters parameters() const = 0;
    // Applied to the running stream without renegotiation.
    virtual bool setParameters(const RtpParameters& parameters) = 0;
};

class VideoSource {
public:
    virtual ~VideoSource() = default;
    virtual void pushFrame(const VideoFrame& frame) = 0;
    // Capture has ended: a frame kept to show phones that join is no longer the screen, and
    // must not be the first thing the next capture's phones see.
    virtual void forgetLastFrame() {}
};

class VideoTrack {
public:
    virtual ~VideoTrack() = default;
    virtual QString id() const = 0;
    virtual std::shared_ptr<VideoSource> source() const = 0;
};

// A track is only a name for a source; every implementation can share this one.
class BasicVideoTrack : public VideoTrack {
public:
    BasicVideoTrack(std::shared_ptr<VideoSource> source, QString id) : source_(std::move(source)), id_(std::move(id)) {}
    QString id() const override { return id_; }
    std::shared_ptr<VideoSource> source() const override { return source_; }

private:
    std::shared_ptr<VideoSource> source_;
    QString id_;
};

class PeerConnectionObserver {
public:
    virtual ~PeerConnectionObserver() = default;
    // Never called before the local description's completion has run.
    virtual void onIceCandidate(const IceCandidate& candidate) = 0;
    virtual void onConnectionStateChange(PeerConnectionState state) = 0;
    // Channels opened by the remote side; the host ignores them, so the default does nothing.
    virtual void onDataChannel(std::shared_ptr<DataChannel>) {}
};

using DescriptionCallback = std::function<void(std::optional<SessionDescription> description, QString error)>;
using CompletionCallback = std::function<void(bool ok, QString error)>;

class PeerConnection {
public:
    virtual ~PeerConnection() = default;
    virtual void createOffer(DescriptionCallback done) = 0;
    virtual void setLocalDescription(const SessionDescription& description, CompletionCallback done) = 0;
    virtual void setRemoteDescription(const SessionDescription& description, CompletionCallback done) = 0;
    virtual void addIceCandidate(const IceCandidate& candidate, CompletionCallback done) = 0;
    // nullptr when no sender could be made.
    virtual std::shared_ptr<RtpSender> addTrack(std::shared_ptr<VideoTrack> track, const QStringList& streamIds) = 0;
    // nullptr when no channel could be made.
    virtual std::shared_ptr<DataChannel> createDataChannel(const QString& label, const DataChannelInit& init) = 0;
    virtual PeerConnectionState connectionState() const = 0;
    // After close() no further events are needed; implementations may still deliver late ones.
    virtual void close() = 0;
};

class PeerConnectionFactory {
public:
    virtual ~PeerConnectionFactory() = default;
    virtual std::shared_ptr<VideoSource> createVideoSource(bool isScreencast) = 0;
    virtual std::shared_ptr<VideoTrack> createVideoTrack(std::shared_ptr<VideoSource> source, const QString& trackId) = 0;
    // nullptr when no connection could be made.
    virtual std::shared_ptr<PeerConnection> createPeerConnection(const Configuration& configuration,
                                                                 std::weak_ptr<PeerConnectionObserver> observer) = 0;
};

} // namespace rtc
