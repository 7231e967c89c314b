#include "Support/SerialWorker.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

namespace {
// Never destroyed, like the workers in it.
std::mutex& namedMutex()
{
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::map<std::string, SerialWorker*>& namedWorkers()
{
    static auto* workers = new std::map<std::string, SerialWorker*>;
    return *workers;
}
} // namespace

SerialWorker& SerialWorker::named(const char* name)
{
    std::lock_guard lock(namedMutex());
    auto& worker = namedWorkers()[name];
    if (!worker)
        worker = new SerialWorker(name);
    return *worker;
}

void SerialWorker::settleNamed(std::chrono::milliseconds bound)
{
    std::vector<SerialWorker*> workers;
    {
        std::lock_guard lock(namedMutex());
        for (const auto& [name, worker] : namedWorkers())
            workers.push_back(worker);
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (SerialWorker* worker : workers) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !worker->waitForIdle(left))
            return;
    }
}

bool SerialWorker::waitForIdle(std::chrono::milliseconds bound)
{
    if (isCurrent())
        return false;
    struct Done {
        std::mutex mutex;
        std::condition_variable ran;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    post([done] {
        std::lock_guard lock(done->mutex);
        done->done = true;
        done->ran.notify_all();
    });
    std::unique_lock lock(done->mutex);
    return done->ran.wait_for(lock, bound, [&] { return done->done; });
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
