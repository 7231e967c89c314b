#pragma once
// Chooses an encoder's bit rate and frame rate from what its receivers report, between a
// floor and the level's maximum: it starts at a rate most paths carry, climbs while the path
// is clean and backs off quickly on loss or on a round trip that grows (a queue filling up
// somewhere). Loss-based in the spirit of Google's congestion control, with a delay guard:
//
//   loss < 2 %           climb 8 % a second (none while the round trip says a queue grows)
//   2 % ≤ loss ≤ 10 %    hold
//   loss > 10 %          × (1 − loss / 2), or to 0.85 × what got through when that is
//                        less (a link that fell from 8 to 1.5 Mbit/s: one step, not six),
//                        but never below 30 % of the rate in one step
//   round trip > smallest seen + 100 ms   × 0.85 (in two reports in a row)
//
// Where loss last began is remembered: in the last 10 % below that rate the climb slows to
// 2 % a second, so the rate does not keep running into the same limit (each time costs lost
// frames and a key frame); once past it without loss, it is forgotten.
//
// A path is only known to carry what was sent over it: the climb stops at 1.5 × the rate
// really sent, so a still screen (that sends almost nothing) does not talk the rate up;
// while the frame rate is held down for want of bits, it climbs regardless.
//
// Decreases come at most once a second: the report after a decrease still covers packets
// sent at the old rate (from the encoder's and the pacer's queues), and a burst reported twice
// is not punished twice.
// When the rate is below what the picture size needs at full frame rate, the frame rate
// falls first (never below 10), not the resolution. Pure logic: times are the caller's
// milliseconds.

#include <QSize>

#include <cstdint>

class BandwidthController {
public:
    static constexpr int kStartBps = 2'500'000;

    struct Limits {
        int maxBps = 12'000'000;  // the level's maximum
        int floorBps = 250'000;
        int startBps = kStartBps; // below the maximum when the maximum is higher
        double maxFramerate = 30;
        double minFramerate = 10;
        QSize size { 1920, 1080 }; // the encoded picture
    };
    // One receiver report: what the receiver lost of the packets since its last report, and
    // the round trip measured with it.
    struct Report {
        int64_t atMs = 0;
        double fractionLost = 0; // 0–1; negative when too few packets were sent to tell
        double roundTripMs = 0;
        double sentBps = -1; // what was sent since the last report; negative when unknown
    };
    struct Target {
        int bitrateBps = 0;
        double framerate = 0;
        bool operator==(const Target&) const = default;
    };

    static constexpr double kClimbPerSecond = 1.08;
    static constexpr double kLowLoss = 0.02;
    static constexpr double kHighLoss = 0.10;
    static constexpr double kQueueingMs = 100;
    static constexpr double kQueueBackoff = 0.85;
    static constexpr double kDeepestBackoff = 0.3;
    static constexpr double kNearLimitClimbPerSecond = 1.02;
    static constexpr double kNearLimitBand = 0.1;
    static constexpr int64_t kBackoffIntervalMs = 1000;
    static constexpr double kProvenHeadroom = 1.5;
    // Bits a second per pixel a desktop needs at full frame rate and our quality point
    // (1080p: ~1.6 Mbit/s; measured with bench/run-quality).
    static constexpr double kBitsPerPixelSecond = 0.75;

    explicit BandwidthController(Limits limits);

    Target onReport(const Report& report);
    Target target() const;
    // A new level (maximum, size or frame rate); the rate in effect is kept within it.
    void setLimits(const Limits& limits);

private:
    int clamp(double bps) const;

    Limits limits_;
    double rateBps_ = 0; // always a whole number of bits a second
    int64_t lastReportMs_ = -1;
    int64_t lastBackoffMs_ = -1;
    double smallestRoundTripMs_ = -1;
    bool lastTripLong_ = false;
    double lossBeganBps_ = -1; // the rate at the last back-off on loss; negative when none
};
