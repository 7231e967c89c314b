#include "OrbelHost/AsyncKeychain.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {
// One serial worker for the whole process. It is detached and never destroyed, so a call
// stuck on an unlock prompt cannot hold up quitting, and never finds its queue gone.
class KeychainWorker {
public:
    static KeychainWorker& instance()
    {
        static auto* worker = new KeychainWorker;
        return *worker;
    }

    void enqueue(std::function<void()> job)
    {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
    }

private:
    KeychainWorker()
    {
        std::thread([this] { loop(); }).detach();
    }

    void loop()
    {
        pthread_setname_np(pthread_self(), "orbel.keychain");
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return !jobs_.empty(); });
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
};
} // namespace

void AsyncKeychain::enqueue(std::function<void()> job)
{
    KeychainWorker::instance().enqueue(std::move(job));
}

void AsyncKeychain::deliver(std::function<void()> work)
{
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

void AsyncKeychain::read(const QString& service, const QString& account, QObject* context,
                         std::function<void(Keychain::ReadResult)> done)
{
    run<Keychain::ReadResult>([service, account](Keychain& keychain) { return keychain.read(service, account); }, context,
                              std::move(done));
}

void AsyncKeychain::write(const QString& service, const QString& account, const QString& value, QObject* context,
                          std::function<void(bool)> done)
{
    run<bool>([service, account, value](Keychain& keychain) { return keychain.write(service, account, value); }, context,
              std::move(done));
}

void AsyncKeychain::remove(const QString& service, const QString& account, QObject* context, std::function<void(bool)> done)
{
    run<bool>([service, account](Keychain& keychain) { return keychain.remove(service, account); }, context, std::move(done));
}
