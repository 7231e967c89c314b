#include "OrbelHost/AccessPIN.h"
#include "Platform/Fake/FakeKeychain.h"
#include "support/Wait.h"

#include <QObject>

#include <gtest/gtest.h>

namespace {
using Kind = AccessPIN::Result::Kind;
const AccessPIN::Result kOk { Kind::Ok };
AccessPIN::Result failed(int left) { return { Kind::Failed, left }; }
AccessPIN::Result locked(int seconds) { return { Kind::Locked, 0, seconds }; }

// Computed independently: Python's hashlib.pbkdf2_hmac('sha256', b'1234', bytes(range(16)), 100000, 32).
const QString kRecord1234 = QStringLiteral("AAECAwQFBgcICQoLDA0ODw==:hp5sg1DFvrCsw5n7qsO2DSIEM4lrJqZHc00NjxWG4fo=");

struct Rig {
    std::shared_ptr<FakeKeychain> keychain = std::make_shared<FakeKeychain>();
    qint64 now = 1'000'000;
    AccessPIN pin { keychain, [this] { return now; } };
    QObject context;

    AccessPIN::State load()
    {
        std::optional<AccessPIN::State> state;
        pin.load(&context, [&](AccessPIN::State s) { state = s; });
        EXPECT_TRUE(waitFor([&] { return state.has_value(); }));
        return state.value_or(AccessPIN::State::Unknown);
    }
    bool set(const QString& text)
    {
        std::optional<bool> stored;
        pin.set(text, &context, [&](bool ok) { stored = ok; });
        EXPECT_TRUE(waitFor([&] { return stored.has_value(); }));
        return stored.value_or(false);
    }
    bool clear()
    {
        std::optional<bool> cleared;
        pin.clear(&context, [&](bool ok) { cleared = ok; });
        EXPECT_TRUE(waitFor([&] { return cleared.has_value(); }));
        return cleared.value_or(false);
    }
    void preload(const QString& record) { keychain->write(AccessPIN::kService, AccessPIN::kAccount, record); }
    std::optional<QString> stored() const { return keychain->peek(AccessPIN::kService, AccessPIN::kAccount); }
};
} // namespace

TEST(AccessPINTest, FormatRuleAndTheRecordOfAKnownVector)
{
    for (const char* good : { "1234", "12345678", "0000" })
        EXPECT_TRUE(AccessPIN::isValidFormat(QString::fromUtf8(good))) << good;
    for (const char* bad : { "", "123", "123456789", "12a4", "１２３４", "12 34", "١٢٣٤" })
        EXPECT_FALSE(AccessPIN::isValidFormat(QString::fromUtf8(bad))) << bad;

    // RFC 7914's PBKDF2-HMAC-SHA256 vector: "passwd", "salt", 1 round, 64 bytes.
    EXPECT_EQ(AccessPIN::derive("passwd", "salt", 1, 64).toHex(),
              QByteArray("55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"));
    QByteArray salt;
    for (char i = 0; i < 16; ++i)
        salt.append(i);
    EXPECT_EQ(AccessPIN::makeRecord("1234", salt), kRecord1234);
    EXPECT_EQ(kRecord1234.size(), 69);
}

TEST(AccessPINTest, ChecksARecordFromAnEarlierRunAndLocksAfterFiveWrongInARow)
{
    Rig rig;
    rig.preload(kRecord1234);
    EXPECT_EQ(rig.load(), AccessPIN::State::Present);
    EXPECT_TRUE(rig.pin.required());
    EXPECT_EQ(rig.pin.verify("1234"), kOk);

    // A right PIN resets the count.
    for (int left : { 4, 3, 2 })
        EXPECT_EQ(rig.pin.verify("0000"), failed(left));
    EXPECT_EQ(rig.pin.verify("1234"), kOk);
    EXPECT_EQ(rig.pin.verify("0000"), failed(4));
    for (int left : { 3, 2, 1 })
        EXPECT_EQ(rig.pin.verify("9999"), failed(left));
    EXPECT_EQ(rig.pin.verify("9999"), locked(300));

    // Locked for everyone and every PIN; the seconds left are rounded up.
    rig.now += 500;
    EXPECT_EQ(rig.pin.verify("1234"), locked(300));
    rig.now += 299'000;
    EXPECT_EQ(rig.pin.verify("1234"), locked(1));
    rig.now += 500;
    EXPECT_EQ(rig.pin.verify("0000"), failed(4)); // over, counting from nothing
    EXPECT_EQ(rig.pin.verify("1234"), kOk);
}

TEST(AccessPINTest, SetEndsALockClearDoesNotAndEachRecordHasItsOwnSalt)
{
    Rig rig;
    EXPECT_EQ(rig.load(), AccessPIN::State::Absent);
    EXPECT_FALSE(rig.pin.required());
    EXPECT_EQ(rig.pin.verify(""), kOk);

    EXPECT_FALSE(rig.set("12a4")); // the format rule holds in set itself
    EXPECT_FALSE(rig.stored());
    ASSERT_TRUE(rig.set("2468"));
    const QString first = rig.stored().value_or("");
    EXPECT_EQ(first.size(), 69);
    ASSERT_TRUE(rig.set("2468"));
    EXPECT_NE(rig.stored().value_or(""), first);
    EXPECT_EQ(rig.pin.state(), AccessPIN::State::Present);

    for (int i = 0; i < 5; ++i)
        rig.pin.verify("1111");
    EXPECT_EQ(rig.pin.verify("2468"), locked(300));
    ASSERT_TRUE(rig.set("1357"));
    EXPECT_EQ(rig.pin.verify("2468"), failed(4));
    EXPECT_EQ(rig.pin.verify("1357"), kOk);

    for (int i = 0; i < 5; ++i)
        rig.pin.verify("1111");
    ASSERT_TRUE(rig.clear());
    EXPECT_FALSE(rig.stored());
    EXPECT_EQ(rig.pin.verify("anything"), locked(300));
    rig.now += 300'000;
    EXPECT_EQ(rig.pin.verify("anything"), kOk);
}

TEST(AccessPINTest, UnusableRecordsAndKeychainFaultsNeverOpenTheDoor)
{
    for (const char* record : { "nocolon", "a:b:c", "!!!:@@@", ":", "AAECAwQFBgcICQoLDA0ODw==:" }) {
        Rig rig;
        rig.preload(QString::fromLatin1(record));
        rig.load();
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(rig.pin.verify("1234"), failed(0)) << record; // and it never locks
    }

    // Not read yet, or unreadable: a PIN is required and nothing matches.
    Rig rig;
    EXPECT_EQ(rig.pin.state(), AccessPIN::State::Unknown);
    EXPECT_TRUE(rig.pin.required());
    EXPECT_EQ(rig.pin.verify("1234"), failed(0));
    rig.preload(kRecord1234);
    rig.keychain->available = false;
    EXPECT_EQ(rig.load(), AccessPIN::State::Unreadable);
    EXPECT_TRUE(rig.pin.required());
    EXPECT_EQ(rig.pin.verify("1234"), failed(0));
    rig.keychain->available = true;
    EXPECT_EQ(rig.load(), AccessPIN::State::Present);
    EXPECT_EQ(rig.pin.verify("1234"), kOk);

    // A write that fails leaves what the keychain really holds.
    rig.keychain->failWrites = true;
    EXPECT_FALSE(rig.set("8642"));
    EXPECT_EQ(rig.pin.verify("1234"), kOk);
    EXPECT_EQ(rig.pin.verify("8642"), failed(4));
    Rig empty;
    empty.load();
    empty.keychain->failWrites = true;
    EXPECT_FALSE(empty.set("8642"));
    EXPECT_EQ(empty.pin.state(), AccessPIN::State::Absent);
    EXPECT_FALSE(empty.pin.required());
}
