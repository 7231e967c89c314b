#pragma once
// Turns what a phone reports about the video it receives into the rate its path carries now:
// the connection's statistics are read every kPollMs, each new receiver report (loss and
// round trip) goes to a BandwidthController, and each target to `apply`.

#include "WebRTC/BandwidthController.h"
#include "WebRTC/GstSupport.h"

#include <functional>
#include <memory>
#include <optional>

namespace rtc::gst {

class GstRateAdapter {
public:
    // Called on webrtcbin's thread whenever a report came in.
    using Apply = std::function<void(const BandwidthController::Target&)>;

    static constexpr int kPollMs = 500;
    static constexpr uint64_t kLossSample = 40; // packets

    // What webrtcbin's statistics say about the video sent: the latest receiver report, told
    // apart from the one before by what it covers (highest sequence number and losses).
    struct Reading {
        double fractionLost = 0;
        double roundTripMs = 0; // 0 before the phone has answered one of our sender reports
        uint64_t highestSequence = 0;
        int64_t packetsLost = 0;
        uint64_t bytesSent = 0; // so far
        bool sameReport(const Reading& other) const
        {
            return highestSequence == other.highestSequence && packetsLost == other.packetsLost;
        }
        // The share of packets lost since `before`, from the running totals. A phone sends a
        // report with every retransmission request, so the latest one alone may cover two
        // packets and say half were lost; the totals weigh every packet once. None while
        // fewer than kLossSample packets were sent since (too few to tell 2 % from 20 %)
        // or when the numbers went back (another stream: start again from this one).
        std::optional<double> lossSince(const Reading& before) const;
    };
    // The reading from a "get-stats" answer; none before the first receiver report.
    static std::optional<Reading> read(const GstStructure* stats);

    GstRateAdapter(GstElement* webrtc, const BandwidthController::Limits& limits, Apply apply);
    ~GstRateAdapter(); // stops polling; a report already being read is dropped
    GstRateAdapter(const GstRateAdapter&) = delete;
    GstRateAdapter& operator=(const GstRateAdapter&) = delete;

    void setLimits(const BandwidthController::Limits& limits);
    BandwidthController::Target target() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    GSource* timer_ = nullptr; // ours, on the main context
};

} // namespace rtc::gst
