#include "OrbelHost/AccessPIN.h"

#include "OrbelHost/AsyncKeychain.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>

namespace {
qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

AccessPIN::AccessPIN(std::shared_ptr<Keychain> keychain, Clock clock)
    : keychain_(std::move(keychain))
    , clock_(clock ? std::move(clock) : Clock(steadyMs))
{
}

bool AccessPIN::isValidFormat(const QString& pin)
{
    if (pin.size() < kMinDigits || pin.size() > kMaxDigits)
        return false;
    for (const QChar c : pin)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

QByteArray AccessPIN::derive(const QString& pin, const QByteArray& salt, int rounds, int bytes)
{
    const QByteArray password = pin.toUtf8();
    QByteArray out(bytes, '\0');
    PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()), reinterpret_cast<const unsigned char*>(salt.constData()),
                      int(salt.size()), rounds, EVP_sha256(), bytes, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

QString AccessPIN::makeRecord(const QString& pin, const QByteArray& salt)
{
    return QString::fromLatin1(salt.toBase64() + ':' + derive(pin, salt).toBase64());
}

void AccessPIN::adopt(const Keychain::ReadResult& read)
{
    switch (read.status) {
    case Keychain::Status::Ok:
        state_ = State::Present;
        record_ = read.value;
        break;
    case Keychain::Status::NotFound:
        state_ = State::Absent;
        record_.clear();
        break;
    case Keychain::Status::Unavailable:
        state_ = State::Unreadable;
        record_.clear();
        break;
    }
}

void AccessPIN::load(QObject* context, std::function<void(State)> done)
{
    AsyncKeychain(keychain_).read(kService, kAccount, context, [this, done = std::move(done)](Keychain::ReadResult read) {
        adopt(read);
        if (done)
            done(state_);
    });
}

void AccessPIN::set(const QString& pin, QObject* context, std::function<void(bool)> done)
{
    if (!isValidFormat(pin)) {
        if (done)
            done(false);
        return;
    }
    QByteArray salt(kSaltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), kSaltBytes) != 1) {
        if (done)
            done(false);
        return;
    }
    const QString record = makeRecord(pin, salt);
    change([record](Keychain& keychain) { keychain.write(kService, kAccount, record); }, context,
           [this, record, done = std::move(done)] {
               const bool stored = state_ == State::Present && record_ == record;
               if (stored) {
                   failures_ = 0;
                   lockedUntil_.reset();
               }
               if (done)
                   done(stored);
           });
}

void AccessPIN::clear(QObject* context, std::function<void(bool)> done)
{
    change([](Keychain& keychain) { keychain.remove(kService, kAccount); }, context, [this, done = std::move(done)] {
        if (done)
            done(state_ == State::Absent);
    });
}

void AccessPIN::change(std::function<void(Keychain&)> write, QObject* context, std::function<void()> then)
{
    // Changed, then read back: what the keychain holds is what counts from now on.
    std::function<Keychain::ReadResult(Keychain&)> job = [write = std::move(write)](Keychain& keychain) {
        write(keychain);
        return keychain.read(kService, kAccount);
    };
    AsyncKeychain(keychain_).run(std::move(job), context, std::function<void(Keychain::ReadResult)>(
        [this, then = std::move(then)](Keychain::ReadResult read) {
            adopt(read);
            then();
        }));
}

AccessPIN::Result AccessPIN::verify(const QString& pin)
{
    const qint64 now = clock_();
    if (lockedUntil_ && *lockedUntil_ > now)
        return { Result::Kind::Locked, 0, int((*lockedUntil_ - now + 999) / 1000) };
    if (state_ == State::Absent)
        return { Result::Kind::Ok };
    // Unknown or unreadable: nothing can match, and nothing counts towards the lock.
    const QStringList pieces = record_.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (state_ != State::Present || pieces.size() != 2)
        return { Result::Kind::Failed, 0 };
    const auto salt = QByteArray::fromBase64Encoding(pieces[0].toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    const auto stored = QByteArray::fromBase64Encoding(pieces[1].toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!salt || !stored)
        return { Result::Kind::Failed, 0 };

    const QByteArray offered = derive(pin, salt.decoded);
    const QByteArray& expected = stored.decoded;
    // No early exit: a different length already counts as a difference.
    const bool match = offered.size() == expected.size()
        && CRYPTO_memcmp(offered.constData(), expected.constData(), size_t(offered.size())) == 0;
    if (match) {
        failures_ = 0;
        return { Result::Kind::Ok };
    }
    if (++failures_ >= kFailureLimit) {
        failures_ = 0;
        lockedUntil_ = now + qint64(kLockSeconds) * 1000;
        return { Result::Kind::Locked, 0, kLockSeconds };
    }
    return { Result::Kind::Failed, kFailureLimit - failures_ };
}
