#include "Support/SerialWorker.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct SerialWorker::Queue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> jobs;
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

SerialWorker::SerialWorker(const char* name)
    : queue_(new Queue)
{
    std::thread([queue = queue_, threadName = std::string(name)] {
        pthread_setname_np(pthread_self(), threadName.substr(0, 15).c_str());
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(queue->mutex);
                queue->ready.wait(lock, [queue] { return !queue->jobs.empty(); });
                job = std::move(queue->jobs.front());
                queue->jobs.pop_front();
            }
            job();
        }
    }).detach();
}

void SerialWorker::post(std::function<void()> job)
{
    {
        std::lock_guard lock(queue_->mutex);
        queue_->jobs.push_back(std::move(job));
    }
    queue_->ready.notify_one();
}
