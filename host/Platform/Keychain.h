#pragma once
#include <QString>
#include <optional>

// Secrets of this user (host token, device id, PIN hash) in the system's secret store.
class Keychain {
public:
    enum class Status { Ok, NotFound, Unavailable };
    struct ReadResult {
        Status status = Status::NotFound;
        QString value;
    };
    virtual ~Keychain() = default;
    virtual ReadResult read(const QString& service, const QString& account) = 0;
    // Replaces any existing item; false when the store could not take it.
    virtual bool write(const QString& service, const QString& account, const QString& value) = 0;
    virtual bool remove(const QString& service, const QString& account) = 0;

    // A failed read counts as absent.
    std::optional<QString> value(const QString& service, const QString& account)
    {
        auto result = read(service, account);
        if (result.status != Status::Ok)
            return std::nullopt;
        return result.value;
    }
};
