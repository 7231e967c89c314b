#include "WebRTC/RateLadder.h"

#include <algorithm>

std::vector<int> RateLadder::rungs(int levelMaxBps)
{
    std::vector<int> result { levelMaxBps };
    for (int rung : kRungsBps)
        if (rung < levelMaxBps)
            result.push_back(rung);
    return result;
}

RateLadder::RateLadder(int startBps, int levelMaxBps)
{
    const auto all = rungs(levelMaxBps);
    while (rung_ + 1 < int(all.size()) && all[std::size_t(rung_) + 1] >= startBps)
        ++rung_;
}

int RateLadder::ceiling(int levelMaxBps) const
{
    const auto all = rungs(levelMaxBps);
    return all[std::size_t(std::min(rung_, int(all.size()) - 1))];
}

bool RateLadder::update(int64_t atMs, int estimateBps, int levelMaxBps)
{
    const auto all = rungs(levelMaxBps);
    rung_ = std::min(rung_, int(all.size()) - 1);
    const auto i = std::size_t(rung_);

    const bool fitsBelow = i + 1 < all.size() && estimateBps <= all[i + 1];
    belowSinceMs_ = fitsBelow ? (belowSinceMs_ < 0 ? atMs : belowSinceMs_) : -1;
    const bool outgrows = i > 0 && estimateBps >= all[i] * kUpMargin;
    aboveSinceMs_ = outgrows ? (aboveSinceMs_ < 0 ? atMs : aboveSinceMs_) : -1;

    int moved = 0;
    if (belowSinceMs_ >= 0 && atMs - belowSinceMs_ >= kDownAfterMs)
        moved = 1;
    else if (aboveSinceMs_ >= 0 && atMs - aboveSinceMs_ >= kUpAfterMs)
        moved = -1;
    if (!moved)
        return false;
    rung_ += moved;
    belowSinceMs_ = aboveSinceMs_ = -1;
    return true;
}
