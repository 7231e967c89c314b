#pragma once
// Keychain items in the desktop's Secret Service (GNOME Keyring, KWallet), through QtKeychain.
// Each job runs on a worker thread of its own and is waited for with a deadline: QtKeychain has
// none, and a locked keyring may sit on an unlock prompt for ever. A job past its deadline
// counts as "unavailable"; nothing ever falls back to a plain file.

#include "Platform/Keychain.h"

#include <QThread>

class SecretServiceKeychain : public Keychain {
public:
    explicit SecretServiceKeychain(int deadlineMs = 5000);
    ~SecretServiceKeychain() override;

    ReadResult read(const QString& service, const QString& account) override;
    bool write(const QString& service, const QString& account, const QString& value) override;
    bool remove(const QString& service, const QString& account) override;

private:
    QThread worker_;
    int deadlineMs_;
};
