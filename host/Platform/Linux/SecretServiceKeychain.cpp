#include "Platform/Linux/SecretServiceKeychain.h"

#include "Support/ThreadHop.h"

#include <qt6keychain/keychain.h>

#include <QObject>
#include <QThread>

#include <future>
#include <memory>

namespace {
class KeychainThread : public QThread {
public:
    KeychainThread()
    {
        setObjectName(QStringLiteral("orbel.keychain"));
        start();
    }
    ~KeychainThread() override
    {
        quit();
        if (!wait(2000))
            terminate(); // a job stuck on a prompt must not hold up quitting
        wait();
    }
};
Q_GLOBAL_STATIC(KeychainThread, keychainThread)

struct JobResult {
    QKeychain::Error error = QKeychain::OtherError;
    QString text;
};

// Starts `makeJob()` on `thread` and waits for its end, at most `deadlineMs`.
template <typename MakeJob>
std::optional<JobResult> runJob(int deadlineMs, MakeJob makeJob)
{
    QThread& thread = *keychainThread();
    auto promise = std::make_shared<std::promise<JobResult>>();
    auto future = promise->get_future();
    auto* anchor = new QObject;
    anchor->moveToThread(&thread);
    postTo(anchor, [anchor, promise, makeJob] {
        QKeychain::Job* job = makeJob();
        job->setAutoDelete(true);
        QObject::connect(job, &QKeychain::Job::finished, anchor, [anchor, promise](QKeychain::Job* finished) {
            JobResult result { finished->error(), {} };
            if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(finished))
                result.text = read->textData();
            promise->set_value(result);
            anchor->deleteLater();
        });
        job->start();
    });
    if (future.wait_for(std::chrono::milliseconds(deadlineMs)) != std::future_status::ready)
        return std::nullopt; // the job may still finish later; its result goes nowhere
    return future.get();
}
} // namespace

SecretServiceKeychain::SecretServiceKeychain(int deadlineMs)
    : deadlineMs_(deadlineMs)
{
}

Keychain::ReadResult SecretServiceKeychain::read(const QString& service, const QString& account)
{
    auto result = runJob(deadlineMs_, [service, account] {
        auto* job = new QKeychain::ReadPasswordJob(service);
        job->setKey(account);
        job->setInsecureFallback(false);
        return job;
    });
    if (!result)
        return { Status::Unavailable, {} };
    if (result->error == QKeychain::NoError)
        return { Status::Ok, result->text };
    if (result->error == QKeychain::EntryNotFound)
        return { Status::NotFound, {} };
    return { Status::Unavailable, {} };
}

bool SecretServiceKeychain::write(const QString& service, const QString& account, const QString& value)
{
    auto result = runJob(deadlineMs_, [service, account, value] {
        auto* job = new QKeychain::WritePasswordJob(service);
        job->setKey(account);
        job->setInsecureFallback(false);
        job->setTextData(value);
        return job;
    });
    return result && result->error == QKeychain::NoError;
}

bool SecretServiceKeychain::remove(const QString& service, const QString& account)
{
    auto result = runJob(deadlineMs_, [service, account] {
        auto* job = new QKeychain::DeletePasswordJob(service);
        job->setKey(account);
        job->setInsecureFallback(false);
        return job;
    });
    return result && (result->error == QKeychain::NoError || result->error == QKeychain::EntryNotFound);
}
