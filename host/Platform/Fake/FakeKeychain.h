#pragma once
#include "Platform/Keychain.h"

#include <QHash>
#include <QPair>
#include <QSet>
#include <QThread>

#include <atomic>
#include <mutex>

// Secrets in memory. Safe to use from the keychain worker and the test at once; can be made
// slow (a keyring waiting on its unlock prompt) or unavailable.
class FakeKeychain : public Keychain {
public:
    std::atomic<bool> available { true };
    std::atomic<bool> failWrites { false };
    std::atomic<int> delayMs { 0 };
    std::atomic<int> reads { 0 };

    ReadResult read(const QString& service, const QString& account) override
    {
        ++reads;
        wait();
        std::lock_guard lock(mutex_);
        if (!available || unreadable_.contains(service))
            return { Status::Unavailable, {} };
        auto it = items_.constFind({ service, account });
        if (it == items_.cend())
            return { Status::NotFound, {} };
        return { Status::Ok, *it };
    }
    bool write(const QString& service, const QString& account, const QString& value) override
    {
        wait();
        std::lock_guard lock(mutex_);
        if (!available || failWrites)
            return false;
        items_.insert({ service, account }, value);
        return true;
    }
    bool remove(const QString& service, const QString& account) override
    {
        wait();
        std::lock_guard lock(mutex_);
        if (!available)
            return false;
        items_.remove({ service, account });
        return true;
    }
    // Reads of one service's items fail (a keyring that refuses one item) while `on`.
    void setUnreadable(const QString& service, bool on)
    {
        std::lock_guard lock(mutex_);
        if (on)
            unreadable_.insert(service);
        else
            unreadable_.remove(service);
    }
    // What is stored now, without the delay.
    std::optional<QString> peek(const QString& service, const QString& account) const
    {
        std::lock_guard lock(mutex_);
        auto it = items_.constFind({ service, account });
        return it == items_.cend() ? std::nullopt : std::optional<QString>(*it);
    }

private:
    void wait() const
    {
        if (delayMs > 0)
            QThread::msleep(ulong(delayMs.load()));
    }
    mutable std::mutex mutex_;
    QHash<QPair<QString, QString>, QString> items_;
    QSet<QString> unreadable_;
};
