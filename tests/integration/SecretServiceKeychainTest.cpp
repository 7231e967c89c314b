// Keychain items in a real Secret Service: the test script runs gnome-keyring-daemon, unlocked
// with a test password, on the private session bus of the test run.

#include "OrbelHost/NimbraServer.h"
#include "Platform/Linux/SecretServiceKeychain.h"

#include <QElapsedTimer>

#include "support/Wait.h"

#include <gtest/gtest.h>

namespace {
const QString kService = QStringLiteral("com.pelmar.orbel.host.test");
}

TEST(SecretServiceKeychainTest, WritesReadsAndRemovesAcrossInstances)
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        GTEST_SKIP() << "needs the session bus and keyring that scripts/test starts";
    SecretServiceKeychain keychain;
    keychain.remove(kService, QStringLiteral("item"));
    EXPECT_EQ(keychain.read(kService, QStringLiteral("item")).status, Keychain::Status::NotFound);

    const QString secret = QStringLiteral("tok-漢字-😀-\"quoted\"");
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(keychain.write(kService, QStringLiteral("item"), secret));
    auto read = keychain.read(kService, QStringLiteral("item"));
    EXPECT_EQ(read.status, Keychain::Status::Ok);
    EXPECT_EQ(read.value, secret);
    EXPECT_LT(timer.elapsed(), 4000); // far from the deadline: the daemon answered

    // Another instance (as another launch would) sees the same item; a rewrite replaces it.
    SecretServiceKeychain other;
    EXPECT_EQ(other.value(kService, QStringLiteral("item")), std::optional<QString>(secret));
    ASSERT_TRUE(other.write(kService, QStringLiteral("item"), QStringLiteral("second")));
    EXPECT_EQ(keychain.value(kService, QStringLiteral("item")), std::optional<QString>(QStringLiteral("second")));

    EXPECT_TRUE(keychain.remove(kService, QStringLiteral("item")));
    EXPECT_EQ(other.read(kService, QStringLiteral("item")).status, Keychain::Status::NotFound);
    EXPECT_TRUE(keychain.remove(kService, QStringLiteral("item"))); // removing nothing is fine
}

TEST(SecretServiceKeychainTest, DeviceIdIsStableAcrossLaunches)
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        GTEST_SKIP() << "needs the session bus and keyring that scripts/test starts";
    // Each launch reads its id off the main thread, once.
    auto launch = [](std::shared_ptr<Keychain> keychain) {
        NimbraServer server({}, std::move(keychain));
        bool loaded = false;
        server.loadCredentials([&] { loaded = true; });
        EXPECT_TRUE(waitFor([&] { return loaded; }, 15000));
        return server.deviceID();
    };
    const QString first = launch(std::make_shared<SecretServiceKeychain>());
    EXPECT_EQ(first.size(), 36);
    SecretServiceKeychain keychain;
    EXPECT_EQ(launch(std::make_shared<SecretServiceKeychain>()), first);
    EXPECT_EQ(keychain.value(NimbraServer::kDeviceService, NimbraServer::kDeviceAccount), std::optional<QString>(first));
}
