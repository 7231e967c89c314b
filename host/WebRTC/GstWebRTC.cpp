#include "WebRTC/GstWebRTC.h"

#include "WebRTC/GstPeerConnection.h"
#include "WebRTC/GstSupport.h"
#include "WebRTC/GstVideoSource.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace rtc {

namespace {
class GstFactory : public PeerConnectionFactory {
public:
    explicit GstFactory(GstOptions options)
        : options_(std::move(options))
        , prewarm_([this] { prewarm(); })
    {
    }
    ~GstFactory() override
    {
        // Quitting must not wait for a warm-up that is still waiting for its offer.
        {
            std::lock_guard lock(warm_->mutex);
            warm_->stopping = true;
        }
        warm_->done.notify_all();
        prewarm_.join();
    }

    std::shared_ptr<VideoSource> createVideoSource(bool) override
    {
        return std::make_shared<gst::GstVideoSource>(gst::EncoderTuning { .x264Preset = options_.x264Preset });
    }
    std::shared_ptr<VideoTrack> createVideoTrack(std::shared_ptr<VideoSource> source, const QString& trackId) override
    {
        return std::make_shared<BasicVideoTrack>(std::move(source), trackId);
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
    // What the warm-up and its offer's completion share; the completion may come after the
    // warm-up stopped waiting, so neither owns it alone.
    struct WarmState {
        std::mutex mutex;
        std::condition_variable done;
        bool offered = false;
        bool stopping = false;
    };

    // The first offer of a process pays for plugin loading and the DTLS certificate (most of a
    // second); pay it in the background at start-up rather than on a phone's first join.
    void prewarm()
    {
        auto warm = std::make_shared<gst::GstPeerConnectionImpl>(Configuration {}, std::weak_ptr<PeerConnectionObserver> {}, options_);
        if (warm->start()) {
            warm->createDataChannel(QStringLiteral("warm"), {});
            std::shared_ptr<WarmState> state = warm_;
            warm->createOffer([state](std::optional<SessionDescription>, const QString&) {
                std::lock_guard lock(state->mutex);
                state->offered = true;
                state->done.notify_all();
            });
            std::unique_lock lock(state->mutex);
            state->done.wait_for(lock, std::chrono::seconds(10), [&] { return state->offered || state->stopping; });
        }
        warm->close();
    }

    GstOptions options_;
    std::shared_ptr<WarmState> warm_ = std::make_shared<WarmState>();
    std::thread prewarm_;
};
} // namespace

std::shared_ptr<PeerConnectionFactory> makeGstPeerConnectionFactory(const GstOptions& options)
{
    if (!gst::ensureInitialised())
        return nullptr;
    return std::make_shared<GstFactory>(options);
}

} // namespace rtc
