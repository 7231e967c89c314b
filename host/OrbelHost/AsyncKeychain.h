#pragma once
// Keychain calls off the main thread. A locked or prompting keyring can hold one call for
// seconds, and the main thread serves heartbeats, offers and input meanwhile. Every call of
// the process runs in order on one worker thread; its result comes back on the main thread,
// and not at all once `context` is gone.

#include "Platform/Keychain.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class AsyncKeychain {
public:
    explicit AsyncKeychain(std::shared_ptr<Keychain> keychain) : keychain_(std::move(keychain)) {}

    void read(const QString& service, const QString& account, QObject* context, std::function<void(Keychain::ReadResult)> done);
    void remove(const QString& service, const QString& account, QObject* context, std::function<void(bool ok)> done = {});

    // Runs `job` with the keychain on the worker; hands its result to `done` on the main thread.
    template <typename T>
    void run(std::function<T(Keychain&)> job, QObject* context, std::function<void(T)> done)
    {
        enqueue([keychain = keychain_, job = std::move(job), context = QPointer<QObject>(context), done = std::move(done)] {
            T result = job(*keychain);
            deliver([context, done, result = std::move(result)] {
                if (context && done)
                    done(result);
            });
        });
    }

private:
    static void enqueue(std::function<void()> job);
    static void deliver(std::function<void()> work);

    std::shared_ptr<Keychain> keychain_;
};
