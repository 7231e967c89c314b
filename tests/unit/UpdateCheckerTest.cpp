#include "OrbelHost/UpdateChecker.h"
#include "Platform/Fake/FakeNotifier.h"
#include "Platform/Fake/FakeWorkspace.h"
#include "support/TinyHttpServer.h"
#include "support/Wait.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <openssl/evp.h>

#include <gtest/gtest.h>

namespace {
// An Ed25519 key pair of the test's own, signing like the release tool.
struct Signer {
    EVP_PKEY* key = nullptr;
    Signer()
    {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(context);
        EVP_PKEY_keygen(context, &key);
        EVP_PKEY_CTX_free(context);
    }
    ~Signer() { EVP_PKEY_free(key); }
    QByteArray publicKey() const
    {
        QByteArray raw(32, '\0');
        size_t length = 32;
        EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &length);
        return raw;
    }
    QByteArray sign(const QByteArray& message) const
    {
        QByteArray signature(64, '\0');
        size_t length = 64;
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key);
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.constData()), size_t(message.size()));
        EVP_MD_CTX_free(context);
        return signature;
    }
    // A feed for `archive` at `url`, signed for `signedVersion` (the feed's own unless given).
    QByteArray feed(const QString& version, const QString& url, const QByteArray& archive, QString signedVersion = {}) const
    {
        UpdateFeed signedFeed;
        signedFeed.version = signedVersion.isEmpty() ? version : signedVersion;
        signedFeed.size = archive.size();
        signedFeed.sha256 = QCryptographicHash::hash(archive, QCryptographicHash::Sha256);
        return QJsonDocument(QJsonObject { { "version", version }, { "url", url }, { "size", double(archive.size()) },
                                           { "sha256", QString::fromLatin1(signedFeed.sha256.toHex()) },
                                           { "sig", QString::fromLatin1(sign(signedFeed.signedMessage()).toBase64()) } })
            .toJson(QJsonDocument::Compact);
    }
};

QByteArray feedJson(QJsonObject changes)
{
    QJsonObject feed { { "version", "2.0" }, { "url", "https://example.invalid/a.tar.gz" }, { "size", 10 },
                       { "sha256", QString(64, 'a') }, { "sig", QString::fromLatin1(QByteArray(64, 's').toBase64()) } };
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        if (it.value().isNull())
            feed.remove(it.key());
        else
            feed[it.key()] = it.value();
    }
    return QJsonDocument(feed).toJson(QJsonDocument::Compact);
}
} // namespace

TEST(UpdateCheckerTest, VersionsCompareAsDottedNumbers)
{
    EXPECT_TRUE(UpdateFeed::isNewer("1.2.10", "1.2.3"));
    EXPECT_FALSE(UpdateFeed::isNewer("1.2.3", "1.2.3"));
    EXPECT_FALSE(UpdateFeed::isNewer("1.2", "1.2.0"));
    EXPECT_FALSE(UpdateFeed::isNewer("1.2", "1.2.3"));
    EXPECT_TRUE(UpdateFeed::isNewer("1.10", "1.9"));
    EXPECT_FALSE(UpdateFeed::isNewer("2.0-beta", "2.0"));
    EXPECT_TRUE(UpdateFeed::isNewer("2.0-beta", "1.9"));
    EXPECT_TRUE(UpdateFeed::isNewer("0.1.1", "0"));
    EXPECT_FALSE(UpdateFeed::isNewer("..", "0"));
}

TEST(UpdateCheckerTest, FeedsThatDoNotHoldUpAreRefused)
{
    ASSERT_TRUE(UpdateFeed::parse(feedJson({}), false));
    const auto feed = *UpdateFeed::parse(feedJson({ { "notes", "fixes" } }), false);
    EXPECT_EQ(feed.version, "2.0");
    EXPECT_EQ(feed.size, 10);
    EXPECT_EQ(feed.notes, "fixes");
    for (const char* field : { "version", "url", "size", "sha256", "sig" })
        EXPECT_FALSE(UpdateFeed::parse(feedJson({ { field, QJsonValue::Null } }), false)) << field;
    EXPECT_FALSE(UpdateFeed::parse("[]", false));
    EXPECT_FALSE(UpdateFeed::parse("not json", false));
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "url", "http://example.invalid/a.tar.gz" } }), false));
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "url", "http://127.0.0.1:8090/a.tar.gz" } }), false));
    EXPECT_TRUE(UpdateFeed::parse(feedJson({ { "url", "http://127.0.0.1:8090/a.tar.gz" } }), true));
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "url", "http://192.0.2.1/a.tar.gz" } }), true));
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "url", "file:///etc/passwd" } }), true));
    for (double size : { 0.0, -1.0, 2.5, 600.0 * 1024 * 1024 })
        EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "size", size } }), false)) << size;
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "sha256", QString(63, 'a') } }), false));
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "sha256", QString(64, 'z') } }), false));
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "sig", "***" } }), false));
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "notes", QString(70'000, 'n') } }), false)) << "over 64 KiB";
}

TEST(UpdateCheckerTest, OnlyAGenuineSignatureOfThisVersionCounts)
{
    Signer signer;
    const QByteArray archive = "release 9.0";
    auto feed = *UpdateFeed::parse(signer.feed("9.0", "https://example.invalid/a", archive), false);
    EXPECT_TRUE(feed.signatureValid(signer.publicKey()));
    EXPECT_FALSE(feed.signatureValid(Signer().publicKey()));
    EXPECT_FALSE(feed.signatureValid({}));
    // A genuine older release, offered as 9.0.
    auto downgrade = *UpdateFeed::parse(signer.feed("9.0", "https://example.invalid/a", archive, "1.0"), false);
    EXPECT_FALSE(downgrade.signatureValid(signer.publicKey()));
    feed.size += 1;
    EXPECT_FALSE(feed.signatureValid(signer.publicKey()));
}

TEST(UpdateCheckerTest, NotifiesOncePerVersionAndKeepsOnlyVerifiedDownloads)
{
    Signer signer;
    TinyHttpServer server;
    FakeNotifier notifier;
    FakeWorkspace workspace;
    QTemporaryDir dir;
    UpdateChecker checker({ QUrl(server.url(UpdateChecker::kFeedPath)), "1.0", signer.publicKey(), true, 3'600'000, 5000,
                            dir.filePath("updates") },
                          notifier, workspace);
    const QByteArray archive(100'000, 'x');
    server.answers[UpdateChecker::kFeedPath] = { 200, signer.feed("2.0", server.url("/a.tar.gz"), archive) };
    checker.check();
    ASSERT_TRUE(waitFor([&] { return checker.latestVersion() == "2.0"; }));
    checker.check();
    ASSERT_TRUE(waitFor([&] { return server.requested.size() == 2; }));
    drainEvents();
    EXPECT_EQ(notifier.posted.size(), 1);

    // Not newer, or not found: nothing changes.
    server.answers[UpdateChecker::kFeedPath] = { 200, signer.feed("0.9", server.url("/a.tar.gz"), archive) };
    checker.check();
    server.answers[UpdateChecker::kFeedPath] = { 404, signer.feed("3.0", server.url("/a.tar.gz"), archive) };
    checker.check();
    ASSERT_TRUE(waitFor([&] { return server.requested.size() == 4; }));
    drainEvents();
    EXPECT_EQ(checker.latestVersion(), "2.0");
    EXPECT_EQ(notifier.posted.size(), 1);

    const auto fetch = [&] {
        std::optional<std::optional<QString>> result;
        checker.download([&](std::optional<QString> path) { result = path; });
        waitFor([&] { return result.has_value(); }, 10000);
        EXPECT_FALSE(checker.updating());
        return result.value_or(std::nullopt);
    };
    const auto leftovers = [&] { return QDir(dir.filePath("updates")).entryList(QDir::Files); };

    // A 404 page is not an update.
    server.answers["/a.tar.gz"] = { 404, archive };
    EXPECT_FALSE(fetch());
    EXPECT_TRUE(leftovers().isEmpty());
    // Other bytes than the signed ones.
    QByteArray tampered = archive;
    tampered[5] = 'y';
    server.answers["/a.tar.gz"] = { 200, tampered };
    EXPECT_FALSE(fetch());
    EXPECT_TRUE(leftovers().isEmpty());
    // More than announced.
    server.answers["/a.tar.gz"] = { 200, archive + "more" };
    EXPECT_FALSE(fetch());
    EXPECT_TRUE(leftovers().isEmpty());
    // The real thing.
    server.answers["/a.tar.gz"] = { 200, archive };
    const auto kept = fetch();
    ASSERT_TRUE(kept);
    EXPECT_EQ(checker.progress(), 100);
    QFile file(*kept);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), archive);
    EXPECT_EQ(leftovers(), QStringList { UpdateChecker::kArchiveName });

    // A newer version is told again; one signed by another key is not even downloaded.
    Signer stranger;
    server.answers[UpdateChecker::kFeedPath] = { 200, stranger.feed("2.1", server.url("/b.tar.gz"), archive) };
    checker.check();
    ASSERT_TRUE(waitFor([&] { return checker.latestVersion() == "2.1"; }));
    EXPECT_EQ(notifier.posted.size(), 2);
    const int requests = int(server.requested.size());
    EXPECT_FALSE(fetch());
    EXPECT_EQ(server.requested.size(), requests);
}
