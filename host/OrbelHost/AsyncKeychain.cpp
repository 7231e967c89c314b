#include "OrbelHost/AsyncKeychain.h"

#include "Support/SerialWorker.h"
#include "Support/ThreadHop.h"

void AsyncKeychain::enqueue(std::function<void()> job)
{
    SerialWorker::named("orbel.secrets").post(std::move(job));
}

void AsyncKeychain::deliver(std::function<void()> work)
{
    postToMain(std::move(work));
}

void AsyncKeychain::read(const QString& service, const QString& account, QObject* context,
                         std::function<void(Keychain::ReadResult)> done)
{
    run<Keychain::ReadResult>([service, account](Keychain& keychain) { return keychain.read(service, account); }, context,
                              std::move(done));
}

void AsyncKeychain::remove(const QString& service, const QString& account, QObject* context, std::function<void(bool)> done)
{
    run<bool>([service, account](Keychain& keychain) { return keychain.remove(service, account); }, context, std::move(done));
}
