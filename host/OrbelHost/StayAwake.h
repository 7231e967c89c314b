#pragma once
// Keeps this computer reachable: holds the display on and tells the desktop every minute that
// the user is active, so the idle lock never starts. Main thread only.

#include "Platform/PowerAssertion.h"

#include <QTimer>

#include <functional>
#include <memory>

class StayAwake {
public:
    StayAwake(PowerAssertion& power, int activityIntervalMs = kActivityIntervalMs);

    // Does nothing while running. `done` says whether the desktop agreed to keep the display
    // on; when it did not, StayAwake is stopped again.
    void start(std::function<void(bool running)> done = {});
    void stop();
    bool running() const { return timer_.isActive(); }

    static constexpr int kActivityIntervalMs = 60'000;
    // What the desktop's power tools show for the hold.
    static inline const QString kReason = QStringLiteral("Orbel 遠端：保持螢幕開著，鎖定後就無法遠端");

private:
    PowerAssertion& power_;
    QTimer timer_;
    bool held_ = false;
    // Counts starts, so the answer to an earlier one cannot undo a later stop and start.
    quint64 attempt_ = 0;
    // The desktop's answer may come after we are gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
