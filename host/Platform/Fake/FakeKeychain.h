#pragma once
#include "Platform/Keychain.h"
#include <QHash>
#include <QPair>

class FakeKeychain : public Keychain {
public:
    bool available = true;
    bool failWrites = false;
    QHash<QPair<QString, QString>, QString> items;

    ReadResult read(const QString& service, const QString& account) override
    {
        if (!available)
            return { Status::Unavailable, {} };
        auto it = items.constFind({ service, account });
        if (it == items.cend())
            return { Status::NotFound, {} };
        return { Status::Ok, *it };
    }
    bool write(const QString& service, const QString& account, const QString& value) override
    {
        if (!available || failWrites)
            return false;
        items.insert({ service, account }, value);
        return true;
    }
    bool remove(const QString& service, const QString& account) override
    {
        if (!available)
            return false;
        items.remove({ service, account });
        return true;
    }
};
