#include "OrbelHost/StayAwake.h"

#include "OrbelHost/Log.h"

StayAwake::StayAwake(PowerAssertion& power, int activityIntervalMs)
    : power_(power)
{
    timer_.setInterval(activityIntervalMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { power_.declareActivity(); });
}

void StayAwake::start(std::function<void(bool)> done)
{
    if (timer_.isActive()) {
        if (done)
            done(true);
        return;
    }
    timer_.start();
    power_.declareActivity();
    const quint64 attempt = ++attempt_;
    power_.hold([this, alive = std::weak_ptr<int>(alive_), attempt, done = std::move(done)](bool granted) {
        if (!alive.lock())
            return;
        if (attempt != attempt_ || !timer_.isActive()) {
            // Stopped meanwhile: a late grant is given back at once.
            if (granted)
                power_.release();
            return;
        }
        held_ = granted;
        if (!granted) {
            qCWarning(hostLog) << "the desktop would not keep the display on";
            timer_.stop();
        }
        if (done)
            done(granted);
    });
}

void StayAwake::stop()
{
    ++attempt_;
    timer_.stop();
    if (held_) {
        held_ = false;
        power_.release();
    }
}
