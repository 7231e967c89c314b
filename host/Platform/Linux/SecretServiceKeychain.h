#pragma once
// Keychain items in the desktop's Secret Service (GNOME Keyring, KWallet), through QtKeychain.
// Each job runs on a worker thread of its own and is waited for with a deadline: QtKeychain has
// none, and a locked keyring may sit on an unlock prompt for ever. A job past its deadline
// counts as "unavailable"; nothing ever falls back to a plain file. QtKeychain queues every
// job of the process on one executor, so all instances share one worker thread.

#include "Platform/Keychain.h"

class SecretServiceKeychain : public Keychain {
public:
    explicit SecretServiceKeychain(int deadlineMs = 5000);

    ReadResult read(const QString& service, const QString& account) override;
    bool write(const QString& service, const QString& account, const QString& value) override;
    bool remove(const QString& service, const QString& account) override;

private:
    int deadlineMs_;
};
