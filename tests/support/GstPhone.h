#pragma once
// A phone made of webrtcbin, for integration tests that need a whole session with the host's
// WebRTC layer: it answers the host's offer, gathers on 127.0.0.1 only, and takes the video
// and the data channels the host sends into sinks, counting what arrives.

#include "WebRTC/WebRTC.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class GstPhone {
public:
    GstPhone();
    ~GstPhone();
    GstPhone(const GstPhone&) = delete;
    GstPhone& operator=(const GstPhone&) = delete;

    // `onCandidate` and `answered` are called on GStreamer's threads: the phone's own
    // candidates, and its answer (empty when the offer was refused).
    void answer(const QString& offerSdp, std::function<void(const rtc::IceCandidate&)> onCandidate,
                std::function<void(const QString& answerSdp)> answered);
    void addCandidate(const rtc::IceCandidate& candidate);

    bool connected() const { return shared_->connected; }
    int videoPackets() const { return shared_->videoPackets; }
    // Data channels the host's offer announced to the phone.
    int channelsAnnounced() const { return shared_->channelsAnnounced; }

    // What GStreamer's callbacks reach; it outlives the phone while one is still running.
    struct Shared {
        std::atomic<bool> connected { false };
        std::atomic<int> videoPackets { 0 };
        std::atomic<int> channelsAnnounced { 0 };
        std::function<void(const rtc::IceCandidate&)> onCandidate;
    };

private:
    struct Pipeline;
    std::unique_ptr<Pipeline> pipeline_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};
