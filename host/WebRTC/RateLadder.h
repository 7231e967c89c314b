#pragma once
// Which encoder group a phone belongs to as its path changes. Phones share an encoder only
// while their paths carry about the same rate: the groups of a quality level are a small
// fixed ladder of ceilings (the level's maximum, then 4, 1.5 and 0.8 Mbit/s below it), and a
// phone whose path cannot keep up with its rung moves down instead of dragging the others
// down, and back up when its path recovers. The group then aims at the lowest rate of its
// members, within its ceiling. Pure logic: times are the caller's milliseconds.

#include <cstdint>
#include <vector>

class RateLadder {
public:
    static constexpr int kRungsBps[] = { 4'000'000, 1'500'000, 800'000 }; // below the level's maximum
    static constexpr int64_t kDownAfterMs = 2000; // the path has fitted the rung below this long
    static constexpr int64_t kUpAfterMs = 5000;   // the path has carried more than the rung this long
    static constexpr double kUpMargin = 1.1;

    // Starts on the lowest rung that holds `startBps`.
    RateLadder(int startBps, int levelMaxBps);

    // The ceiling of the current rung for a level (the level may have changed since).
    int ceiling(int levelMaxBps) const;
    // One estimate of what the path carries; true when the phone should move to another rung.
    bool update(int64_t atMs, int estimateBps, int levelMaxBps);

private:
    static std::vector<int> rungs(int levelMaxBps);

    int rung_ = 0; // 0 is the level's maximum
    int64_t belowSinceMs_ = -1;
    int64_t aboveSinceMs_ = -1;
};
