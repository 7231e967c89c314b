#include "OrbelHost/UpdateChecker.h"
#include "Platform/Fake/FakeNotifier.h"
#include "Platform/Fake/FakePackageManager.h"
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
    // The description of `file` at `url`, signed for `version`.
    QJsonObject entry(const QString& version, const QString& url, const QByteArray& file) const
    {
        UpdateFeed signedFeed;
        signedFeed.version = version;
        UpdateFeed::Artifact artifact;
        artifact.size = file.size();
        artifact.sha256 = QCryptographicHash::hash(file, QCryptographicHash::Sha256);
        return { { "url", url }, { "size", double(file.size()) }, { "sha256", QString::fromLatin1(artifact.sha256.toHex()) },
                 { "sig", QString::fromLatin1(sign(signedFeed.signedMessage(artifact)).toBase64()) } };
    }
    // A feed for `archive` at `url` in the top-level fields, signed for `signedVersion` (the
    // feed's own unless given), with a package entry when `package` is given.
    QByteArray feed(const QString& version, const QString& url, const QByteArray& archive, QString signedVersion = {},
                    std::optional<std::pair<QString, QByteArray>> package = {}) const
    {
        QJsonObject feed = entry(signedVersion.isEmpty() ? version : signedVersion, url, archive);
        feed["version"] = version;
        if (package)
            feed["deb"] = entry(version, package->first, package->second);
        return QJsonDocument(feed).toJson(QJsonDocument::Compact);
    }
};

} // namespace

// A checker of version 1.0 against an update server on loopback, trusting the test's own key.
class UpdateCheckerFlowTest : public testing::Test {
protected:
    Signer signer;
    TinyHttpServer server;
    FakeNotifier notifier;
    FakeWorkspace workspace;
    FakePackageManager packages;
    QTemporaryDir dir;
    UpdateChecker checker { { QUrl(server.url(UpdateChecker::kFeedPath)), "1.0", signer.publicKey(), true, 3'600'000, 5000,
                              dir.filePath("updates") },
                            notifier, workspace, &packages };
};

namespace {
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
    ASSERT_TRUE(feed.tar);
    EXPECT_EQ(feed.tar->size, 10);
    EXPECT_FALSE(feed.deb);
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

    // Both forms, each with its own file; the "tar" entry stands for the top-level fields.
    const QJsonObject file = QJsonDocument::fromJson(feedJson({})).object();
    QJsonObject package = file;
    package["url"] = "https://example.invalid/b.deb";
    package["size"] = 20;
    QJsonObject archive = file;
    archive["url"] = "https://example.invalid/c.tar.gz";
    const auto both = UpdateFeed::parse(feedJson({ { "deb", package }, { "tar", archive } }), false);
    ASSERT_TRUE(both && both->deb && both->tar);
    EXPECT_EQ(both->deb->url.toString(), "https://example.invalid/b.deb");
    EXPECT_EQ(both->deb->size, 20);
    EXPECT_EQ(both->artifact(UpdateFeed::Form::Tar)->url.toString(), "https://example.invalid/c.tar.gz");
    const auto packageOnly = UpdateFeed::parse(
        feedJson({ { "url", QJsonValue::Null }, { "size", QJsonValue::Null }, { "sha256", QJsonValue::Null },
                   { "sig", QJsonValue::Null }, { "deb", package } }),
        false);
    ASSERT_TRUE(packageOnly && packageOnly->deb);
    EXPECT_FALSE(packageOnly->tar);
    // A form named but not whole, or not an object, breaks the feed.
    package.remove("sig");
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "deb", package } }), false));
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "deb", "https://example.invalid/b.deb" } }), false));
    archive["url"] = "http://example.invalid/c.tar.gz";
    EXPECT_FALSE(UpdateFeed::parse(feedJson({ { "tar", archive } }), false));
}

TEST(UpdateCheckerTest, OnlyAGenuineSignatureOfThisVersionCounts)
{
    Signer signer;
    const QByteArray archive = "release 9.0";
    auto feed = *UpdateFeed::parse(signer.feed("9.0", "https://example.invalid/a", archive), false);
    EXPECT_TRUE(feed.signatureValid(*feed.tar, signer.publicKey()));
    EXPECT_FALSE(feed.signatureValid(*feed.tar, Signer().publicKey()));
    EXPECT_FALSE(feed.signatureValid(*feed.tar, {}));
    // A genuine older release, offered as 9.0.
    auto downgrade = *UpdateFeed::parse(signer.feed("9.0", "https://example.invalid/a", archive, "1.0"), false);
    EXPECT_FALSE(downgrade.signatureValid(*downgrade.tar, signer.publicKey()));
    feed.tar->size += 1;
    EXPECT_FALSE(feed.signatureValid(*feed.tar, signer.publicKey()));
}

TEST_F(UpdateCheckerFlowTest, NotifiesOncePerVersionAndKeepsOnlyVerifiedDownloads)
{
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
        checker.download(UpdateFeed::Form::Tar, [&](std::optional<QString> path) { result = path; });
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

TEST_F(UpdateCheckerFlowTest, APackagedCopyIsUpdatedOnlyThroughThePackageManager)
{
    checker.program = "/usr/bin/velquin-host";
    checker.installFolder = dir.filePath("velquin"); // would be swapped if this were a per-user copy
    QStringList started;
    checker.installer = UpdateInstaller([&](const QString& program, const QStringList& arguments) {
        started << (program + ' ' + arguments.join(' ')).trimmed();
        return true;
    }, [](qint64) { return false; });
    checker.confirm = [](const QString&) { return true; };
    int failures = 0;
    checker.onFailed = [&] { ++failures; };

    EXPECT_EQ(checker.form(), UpdateFeed::Form::Tar);
    packages.owned = QStringList { checker.program };
    EXPECT_EQ(checker.form(), UpdateFeed::Form::Deb);

    const QByteArray archive(50'000, 't');
    const QByteArray package(60'000, 'd');
    server.answers["/a.tar.gz"] = { 200, archive };
    server.answers["/a.deb"] = { 200, package };
    const auto offer = [&](const Signer& by, const QString& version) {
        server.answers[UpdateChecker::kFeedPath] = { 200, by.feed(version, server.url("/a.tar.gz"), archive, {},
                                                                  std::pair { server.url("/a.deb"), package }) };
        checker.check();
        ASSERT_TRUE(waitFor([&] { return checker.latestVersion() == version; }));
    };
    const auto update = [&] {
        const qsizetype handed = packages.installed.size();
        const int failed = failures;
        checker.promptAndUpdate();
        waitFor([&] { return packages.installed.size() > handed || failures > failed; }, 10000);
        drainEvents();
    };

    offer(signer, "2.0");
    // Not authorised: nothing more happens. No way to install here: the software centre gets it.
    packages.outcome = PackageManager::Outcome::Declined;
    update();
    EXPECT_EQ(packages.installed.size(), 1);
    EXPECT_FALSE(checker.updating());
    EXPECT_TRUE(started.isEmpty());
    EXPECT_TRUE(workspace.opened.isEmpty());
    packages.outcome = PackageManager::Outcome::Unavailable;
    update();
    EXPECT_EQ(workspace.opened, QList<QUrl> { QUrl::fromLocalFile(packages.installed.last()) });
    EXPECT_EQ(failures, 0);
    // It failed: the user is told and shown the file.
    packages.outcome = PackageManager::Outcome::Failed;
    update();
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(workspace.revealed, QStringList { packages.installed.last() });
    EXPECT_TRUE(started.isEmpty());

    // Signed by someone else: neither handed over nor swapped, and not even downloaded.
    Signer stranger;
    offer(stranger, "3.0");
    const qsizetype handedBefore = packages.installed.size();
    const qsizetype requests = server.requested.size();
    update();
    EXPECT_EQ(failures, 2);
    EXPECT_EQ(packages.installed.size(), handedBefore);
    EXPECT_EQ(server.requested.size(), requests);
    EXPECT_TRUE(started.isEmpty());

    // A feed without a package for a packaged copy: the user is told it failed.
    server.answers[UpdateChecker::kFeedPath] = { 200, signer.feed("4.0", server.url("/a.tar.gz"), archive) };
    checker.check();
    ASSERT_TRUE(waitFor([&] { return checker.latestVersion() == "4.0"; }));
    update();
    EXPECT_EQ(failures, 3);
    EXPECT_EQ(packages.installed.size(), handedBefore);
    EXPECT_TRUE(started.isEmpty());
    EXPECT_FALSE(checker.updating());

    // Installed: the verified package, and only it, goes to the package manager; the new
    // program is started to take over once this one has quit.
    offer(signer, "5.0");
    packages.outcome = PackageManager::Outcome::Installed;
    server.requested.clear();
    update();
    EXPECT_TRUE(checker.updating()) << "until this app has quit";
    QFile handed(packages.installed.last());
    ASSERT_TRUE(handed.open(QIODevice::ReadOnly));
    EXPECT_EQ(handed.readAll(), package);
    EXPECT_FALSE(server.requested.contains("/a.tar.gz"));
    EXPECT_EQ(started, QStringList { "/usr/bin/velquin-host --after-update " + QString::number(QCoreApplication::applicationPid()) });
    EXPECT_FALSE(QDir(dir.filePath("velquin.staging")).exists());
}
