#include "Support/SerialWorker.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct SerialWorker::Queue {
    using Clock = std::chrono::steady_clock;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> jobs;
    // Later jobs by due time; a sequence number keeps equal times in posting order.
    std::map<std::pair<Clock::time_point, uint64_t>, std::function<void()>> later;
    uint64_t sequence = 0;
    bool stopping = false;
    std::thread::id thread;

    // Waits for the next job; empty once the worker is stopping and nothing is due.
    std::function<void()> next()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            const auto now = Clock::now();
            while (!later.empty() && later.begin()->first.first <= now) {
                jobs.push_back(std::move(later.begin()->second));
                later.erase(later.begin());
            }
            if (!jobs.empty()) {
                auto job = std::move(jobs.front());
                jobs.pop_front();
                return job;
            }
            if (stopping)
                return {};
            if (later.empty())
                ready.wait(lock);
            else
                ready.wait_until(lock, later.begin()->first.first);
        }
    }
};

SerialWorker& SerialWorker::named(const char* name)
{
    static std::mutex mutex;
    static auto* workers = new std::map<std::string, SerialWorker*>;
    std::lock_guard lock(mutex);
    auto& worker = (*workers)[name];
    if (!worker)
        worker = new SerialWorker(name);
    return *worker;
}

std::unique_ptr<SerialWorker> SerialWorker::make(const char* name)
{
    return std::unique_ptr<SerialWorker>(new SerialWorker(name));
}

SerialWorker::SerialWorker(const char* name)
    : queue_(std::make_shared<Queue>())
{
    std::lock_guard lock(queue_->mutex);
    std::thread thread([queue = queue_, threadName = std::string(name)] {
        pthread_setname_np(pthread_self(), threadName.substr(0, 15).c_str());
        while (auto job = queue->next())
            job();
    });
    queue_->thread = thread.get_id();
    thread.detach();
}

SerialWorker::~SerialWorker()
{
    {
        std::lock_guard lock(queue_->mutex);
        queue_->stopping = true;
        queue_->later.clear();
    }
    queue_->ready.notify_one();
}

void SerialWorker::post(std::function<void()> job)
{
    {
        std::lock_guard lock(queue_->mutex);
        queue_->jobs.push_back(std::move(job));
    }
    queue_->ready.notify_one();
}

void SerialWorker::postAfter(std::chrono::milliseconds delay, std::function<void()> job)
{
    {
        std::lock_guard lock(queue_->mutex);
        queue_->later.emplace(std::make_pair(Queue::Clock::now() + delay, queue_->sequence++), std::move(job));
    }
    queue_->ready.notify_one();
}

bool SerialWorker::isCurrent() const
{
    std::lock_guard lock(queue_->mutex);
    return queue_->thread == std::this_thread::get_id();
}
