#include "WebRTC/Fake/FakeEventThread.h"

#include "Support/SerialWorker.h"

#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <future>

namespace rtc::fake {

namespace {
thread_local bool onFakeThread = false;

SerialWorker& worker()
{
    return SerialWorker::named("fake.rtc");
}

void onWorker(std::function<void()> work)
{
    worker().post([work = std::move(work)] {
        onFakeThread = true;
        work();
    });
}
} // namespace

bool ownThread()
{
    static const bool threaded = [] {
        const char* value = std::getenv("VELQUIN_FAKE_RTC_THREAD");
        return value && std::strcmp(value, "1") == 0;
    }();
    return threaded;
}

void fire(const std::function<void()>& event)
{
    if (!ownThread() || onFakeThread) {
        event();
        return;
    }
    std::promise<void> done;
    onWorker([&] {
        event();
        done.set_value();
    });
    done.get_future().wait();
}

void later(std::function<void()> work)
{
    if (ownThread())
        onWorker(std::move(work));
    else
        QTimer::singleShot(0, [work = std::move(work)] { work(); });
}

} // namespace rtc::fake
