#include "WebRTC/GstWebRTC.h"

#include "WebRTC/GstPeerConnection.h"
#include "WebRTC/GstSupport.h"
#include "WebRTC/GstVideoSource.h"

namespace rtc {

namespace {
class GstVideoTrack : public VideoTrack {
public:
    GstVideoTrack(std::shared_ptr<VideoSource> source, QString id) : source_(std::move(source)), id_(std::move(id)) {}
    QString id() const override { return id_; }
    std::shared_ptr<VideoSource> source() const override { return source_; }

private:
    std::shared_ptr<VideoSource> source_;
    QString id_;
};

class GstFactory : public PeerConnectionFactory {
public:
    explicit GstFactory(GstOptions options) : options_(std::move(options)) { prewarm(); }

    std::shared_ptr<VideoSource> createVideoSource(bool) override
    {
        return std::make_shared<gst::GstVideoSource>(options_.x264Preset);
    }
    std::shared_ptr<VideoTrack> createVideoTrack(std::shared_ptr<VideoSource> source, const QString& trackId) override
    {
        return std::make_shared<GstVideoTrack>(std::move(source), trackId);
    }
    std::shared_ptr<PeerConnection> createPeerConnection(const Configuration& configuration,
                                                         std::weak_ptr<PeerConnectionObserver> observer) override
    {
        auto connection = std::make_shared<gst::GstPeerConnectionImpl>(configuration, std::move(observer), options_);
        if (!connection->start())
            return nullptr;
        return connection;
    }

private:
    // The first connection of a process pays for plugin loading and the DTLS certificate;
    // pay it now rather than on a phone's first join.
    void prewarm()
    {
        gst::GstPeerConnectionImpl warm({}, {}, options_);
        if (warm.start())
            warm.createDataChannel(QStringLiteral("warm"), {});
        warm.close();
    }

    GstOptions options_;
};
} // namespace

std::shared_ptr<PeerConnectionFactory> makeGstPeerConnectionFactory(const GstOptions& options)
{
    if (!gst::ensureInitialised())
        return nullptr;
    return std::make_shared<GstFactory>(options);
}

} // namespace rtc
