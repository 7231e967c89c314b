#include "WebRTC/BandwidthController.h"

#include <algorithm>
#include <cmath>

BandwidthController::BandwidthController(Limits limits)
    : limits_(limits)
{
    rateBps_ = clamp(limits_.startBps);
}

int BandwidthController::clamp(double bps) const
{
    const double floor = std::min(limits_.floorBps, limits_.maxBps);
    return int(std::clamp(bps, floor, double(limits_.maxBps)));
}

void BandwidthController::setLimits(const Limits& limits)
{
    limits_ = limits;
    rateBps_ = clamp(rateBps_);
}

BandwidthController::Target BandwidthController::onReport(const Report& report)
{
    // Loss unknown (too few packets to tell): the round trip may still back off, nothing climbs.
    const bool lossKnown = report.fractionLost >= 0;
    const bool first = lastReportMs_ < 0;
    const double seconds = first ? 0 : std::clamp(double(report.atMs - lastReportMs_) / 1000.0, 0.0, 1.0);
    if (lossKnown)
        lastReportMs_ = std::max(lastReportMs_, report.atMs);

    bool queueing = false;
    bool longTrip = false;
    if (report.roundTripMs > 0) {
        if (smallestRoundTripMs_ < 0 || report.roundTripMs < smallestRoundTripMs_)
            smallestRoundTripMs_ = report.roundTripMs;
        // Two long round trips in a row: one alone is as likely a busy receiver as a queue.
        longTrip = report.roundTripMs > smallestRoundTripMs_ + kQueueingMs;
        queueing = longTrip && lastTripLong_;
        lastTripLong_ = longTrip;
    }
    const bool mayBackOff = lastBackoffMs_ < 0 || report.atMs - lastBackoffMs_ >= kBackoffIntervalMs;
    const double loss = std::clamp(report.fractionLost, 0.0, 1.0);

    if (loss > kHighLoss || queueing) {
        if (mayBackOff) {
            double byLoss = loss > kHighLoss ? 1.0 - loss / 2 : 1.0;
            if (loss > kHighLoss)
                lossBeganBps_ = rateBps_;
            if (loss > kHighLoss && report.sentBps > 0) {
                const double through = report.sentBps * (1.0 - loss);
                byLoss = std::min(byLoss, std::max(kDeepestBackoff, kQueueBackoff * through / rateBps_));
            }
            const double byDelay = queueing ? kQueueBackoff : 1.0;
            rateBps_ = clamp(rateBps_ * std::min(byLoss, byDelay));
            lastBackoffMs_ = report.atMs;
        }
    } else if (lossKnown && loss < kLowLoss && !longTrip) {
        if (lossBeganBps_ > 0 && rateBps_ >= lossBeganBps_)
            lossBeganBps_ = -1; // past it without loss: the path has changed
        const bool nearLimit = lossBeganBps_ > 0 && rateBps_ >= lossBeganBps_ * (1 - kNearLimitBand);
        double climbed = rateBps_ * std::pow(nearLimit ? kNearLimitClimbPerSecond : kClimbPerSecond, seconds);
        // (Unless the frame rate is held down here: then sending less is our own doing.)
        if (report.sentBps >= 0 && target().framerate >= limits_.maxFramerate)
            climbed = std::min(climbed, std::max(rateBps_, kProvenHeadroom * report.sentBps));
        rateBps_ = clamp(climbed);
    }
    return target();
}

BandwidthController::Target BandwidthController::target() const
{
    // Frame rate gives way before resolution: below what the size needs at full rate, fewer
    // frames each get the bits they need.
    const double needed = kBitsPerPixelSecond * limits_.size.width() * limits_.size.height();
    double framerate = limits_.maxFramerate;
    if (needed > 0 && rateBps_ < needed)
        framerate = std::max(std::min(limits_.minFramerate, limits_.maxFramerate), limits_.maxFramerate * rateBps_ / needed);
    return { int(rateBps_), framerate };
}
