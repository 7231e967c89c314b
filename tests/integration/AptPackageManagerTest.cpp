// dpkg and apt as the updater uses them: ownership read from a real dpkg database (a throw-away
// root with a package of the test's own installed), and the install command's exit statuses.

#include "Platform/Linux/AptPackageManager.h"
#include "support/Wait.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

namespace {
bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(60'000);
    EXPECT_TRUE(finished && process.exitCode() == 0) << program.toStdString() << ": " << process.readAll().constData();
    return finished && process.exitCode() == 0;
}

void write(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}
} // namespace

TEST(AptPackageManagerTest, OwnershipComesFromTheDpkgDatabase)
{
    QTemporaryDir dir;
    const QString tree = dir.filePath("tree");
    write(tree + "/DEBIAN/control", "Package: velquin-probe\nVersion: 1.0\nArchitecture: all\n"
                                    "Maintainer: Tests <tests@velquin.invalid>\nDescription: a probe\n");
    write(tree + "/usr/lib/velquin-probe/owned", "x");
    write(tree + "/usr/lib/velquin-probe/[odd] name", "x");
    ASSERT_TRUE(run("dpkg-deb", { "--root-owner-group", "--build", tree, dir.filePath("probe.deb") }));
    const QString root = dir.filePath("root");
    for (const char* folder : { "/var/lib/dpkg/info", "/var/lib/dpkg/updates", "/var/lib/dpkg/triggers", "/var/log" })
        QDir().mkpath(root + folder);
    write(root + "/var/lib/dpkg/status", "");
    ASSERT_TRUE(run("dpkg", { "--root=" + root, "--force-not-root", "--install", dir.filePath("probe.deb") }));

    AptPackageManager packages({}, root + "/var/lib/dpkg");
    EXPECT_TRUE(packages.owns("/usr/lib/velquin-probe/owned"));
    EXPECT_TRUE(packages.owns("/usr/lib/velquin-probe/[odd] name"));
    EXPECT_FALSE(packages.owns("/usr/lib/velquin-probe/other"));
    EXPECT_FALSE(packages.owns("/usr/lib/velquin-probe/*")) << "a pattern is not a file";
    EXPECT_FALSE(AptPackageManager({}, dir.filePath("nowhere")).owns("/usr/lib/velquin-probe/owned"));
}

TEST(AptPackageManagerTest, TheInstallCommandsStatusTellsWhatHappened)
{
    QTemporaryDir dir;
    const QString log = dir.filePath("handed");
    const auto outcomeOf = [&](const QStringList& command) {
        std::optional<PackageManager::Outcome> outcome;
        AptPackageManager packages(command);
        packages.install("update.deb", [&](PackageManager::Outcome result) { outcome = result; });
        waitFor([&] { return outcome.has_value(); }, 10'000);
        return outcome;
    };
    const auto shell = [&](int status) {
        return QStringList { "/bin/sh", "-c", QStringLiteral("printf %s \"$0\" > '%1'; exit %2").arg(log).arg(status) };
    };
    EXPECT_EQ(outcomeOf(shell(0)), PackageManager::Outcome::Installed);
    QFile handed(log);
    ASSERT_TRUE(handed.open(QIODevice::ReadOnly));
    EXPECT_EQ(handed.readAll(), QDir::current().absoluteFilePath("update.deb").toUtf8()) << "apt takes only a plain path";
    EXPECT_EQ(outcomeOf(shell(AptPackageManager::kNotAuthorised)), PackageManager::Outcome::Declined);
    EXPECT_EQ(outcomeOf(shell(AptPackageManager::kNoAuthorisation)), PackageManager::Outcome::Declined);
    EXPECT_EQ(outcomeOf(shell(100)), PackageManager::Outcome::Failed);
    EXPECT_EQ(outcomeOf({ "/bin/sh", "-c", "kill -9 $$" }), PackageManager::Outcome::Failed);
    EXPECT_EQ(outcomeOf({ dir.filePath("no-pkexec") }), PackageManager::Outcome::Unavailable);
    EXPECT_EQ(outcomeOf({}), PackageManager::Outcome::Unavailable);
}
