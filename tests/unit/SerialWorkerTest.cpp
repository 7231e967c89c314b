// Waiting for a worker before the process ends: bounded, so a job that hangs cannot hold up
// quitting, and never on the worker itself.

#include "Support/SerialWorker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(SerialWorkerTest, WaitingForIdleIsBoundedAndNeverOnTheWorkerItself)
{
    auto worker = SerialWorker::make("test.idle");
    std::atomic<int> ran { 0 };
    for (int i = 0; i < 3; ++i)
        worker->post([&ran] {
            std::this_thread::sleep_for(20ms);
            ++ran;
        });
    EXPECT_TRUE(worker->waitForIdle(5s));
    EXPECT_EQ(ran, 3);

    // A job that hangs: the wait gives up at its bound.
    std::mutex mutex;
    std::condition_variable release;
    bool released = false;
    worker->post([&] {
        std::unique_lock lock(mutex);
        release.wait(lock, [&] { return released; });
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(worker->waitForIdle(100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    {
        std::lock_guard lock(mutex);
        released = true;
    }
    release.notify_all();
    EXPECT_TRUE(worker->waitForIdle(5s));

    // On its own thread it would wait for itself.
    std::atomic<int> inside { -1 };
    worker->post([&] { inside = worker->waitForIdle(5s) ? 1 : 0; });
    ASSERT_TRUE(worker->waitForIdle(5s));
    EXPECT_EQ(inside, 0);

    // Named workers are waited for together, within one bound.
    std::atomic<bool> named { false };
    SerialWorker::named("test.named").post([&named] {
        std::this_thread::sleep_for(30ms);
        named = true;
    });
    SerialWorker::settleNamed(5s);
    EXPECT_TRUE(named);
}
