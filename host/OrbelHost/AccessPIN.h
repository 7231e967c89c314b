#pragma once
// The optional access PIN: a salted PBKDF2-HMAC-SHA256 hash of it in the keychain, checked
// only on this computer, with a five-minute lock after five wrong PINs in a row (shared by
// every phone, kept in memory only).
//
// The record is read from the keychain once (off the main thread) and kept in memory; set()
// and clear() write through and then hold what the keychain gives back. A record that cannot
// be read counts as a PIN that nothing matches: a keychain fault never opens the door.

#include "Platform/Keychain.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class AccessPIN {
public:
    // What is known of the record.
    enum class State { Unknown, Absent, Present, Unreadable };
    struct Result {
        enum class Kind { Ok, Failed, Locked } kind = Kind::Ok;
        int left = 0;    // Failed: wrong PINs still allowed before the lock
        int seconds = 0; // Locked: until the lock ends, rounded up
        bool operator==(const Result&) const = default;
    };
    // Milliseconds on a monotonic clock; tests pass their own.
    using Clock = std::function<qint64()>;

    static inline const QString kService = QStringLiteral("com.pelmar.orbel.host.pin");
    static inline const QString kAccount = QStringLiteral("pin-hash");
    static constexpr int kMinDigits = 4;
    static constexpr int kMaxDigits = 8;
    static constexpr int kFailureLimit = 5;
    static constexpr int kLockSeconds = 300;
    static constexpr int kRounds = 100'000;
    static constexpr int kSaltBytes = 16;
    static constexpr int kHashBytes = 32;

    explicit AccessPIN(std::shared_ptr<Keychain> keychain, Clock clock = {});

    // 4 to 8 ASCII digits.
    static bool isValidFormat(const QString& pin);
    // PBKDF2-HMAC-SHA256 of the PIN's UTF-8 bytes.
    static QByteArray derive(const QString& pin, const QByteArray& salt, int rounds = kRounds, int bytes = kHashBytes);
    // "Base64(salt):Base64(hash)", 69 characters for a 16-byte salt.
    static QString makeRecord(const QString& pin, const QByteArray& salt);

    // Reads the record; `done` (main thread, while `context` lives) gets the new state.
    void load(QObject* context, std::function<void(State)> done);
    // Stores a new PIN with a fresh salt and ends any lock. Refuses a PIN of the wrong format.
    // `done` gets whether the keychain holds the new record afterwards.
    void set(const QString& pin, QObject* context, std::function<void(bool stored)> done);
    // Removes the record; the lock, if any, stays. `done` gets whether no record remains.
    void clear(QObject* context, std::function<void(bool cleared)> done);

    State state() const { return state_; }
    // Whether phones must send a PIN: anything but a definite "no record".
    bool required() const { return state_ != State::Absent; }
    Result verify(const QString& pin);

private:
    void adopt(const Keychain::ReadResult& read);
    // Runs `write` on the keychain worker, reads the record back and holds it, then `then`.
    void change(std::function<void(Keychain&)> write, QObject* context, std::function<void()> then);

    std::shared_ptr<Keychain> keychain_;
    Clock clock_;
    State state_ = State::Unknown;
    QString record_;
    int failures_ = 0;
    std::optional<qint64> lockedUntil_;
};
