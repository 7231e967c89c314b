// An update from end to end: tools/release makes and signs a release from this build, the dev
// server serves it, the checker finds, fetches and verifies it, and then the installer swaps the
// archive in for a per-user copy, or the package manager gets the package for a packaged copy.

#include "OrbelHost/UpdateChecker.h"
#include "Platform/Fake/FakeNotifier.h"
#include "Platform/Fake/FakePackageManager.h"
#include "Platform/Fake/FakeWorkspace.h"
#include "support/DevServer.h"
#include "support/Wait.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {
const QString kRelease = QStringLiteral(VELQUIN_SOURCE_DIR "/../tools/release/release");
const QString kBuild = QStringLiteral(VELQUIN_BUILD_DIR);

// A host binary that only says its version.
void makeBinary(const QString& path, const QByteArray& version)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile binary(path);
    binary.open(QIODevice::WriteOnly);
    binary.write("#!/bin/sh\necho " + version + "\n");
    binary.close();
    binary.setPermissions(binary.permissions() | QFile::ExeOwner);
}

QByteArray run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(120'000);
    const QByteArray output = process.readAll();
    EXPECT_EQ(process.exitCode(), 0) << output.constData();
    return output;
}
} // namespace

TEST(UpdateFlowTest, ASignedReleaseOnTheServerReplacesTheInstalledCopy)
{
    // The sanitizer build makes no packages.
    if (!QFile::exists(kBuild + "/CPackConfig.cmake"))
        GTEST_SKIP() << "no package configuration in " << kBuild.toStdString();
    QTemporaryDir dir;
    const QString key = dir.filePath("release.pem");
    const QByteArray made = run(kRelease, { "--new-key", key });
    const auto publicKey = QRegularExpression("public key \\(VELQUIN_UPDATE_PUBLIC_KEY\\): (\\S+)").match(QString::fromUtf8(made));
    ASSERT_TRUE(publicKey.hasMatch()) << made.constData();

    DevServer server;
    const QString updates = dir.filePath("updates");
    QDir().mkpath(updates);
    ASSERT_TRUE(server.start({ "--updates", updates }));
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.port());
    run(kRelease, { "--key", key, "--base-url", base, "--version", "9.0", "--build", kBuild, "--out", updates, "--notes",
                    "faster files" });
    const QString package = updates + "/velquin-host_9.0-1_amd64.deb";
    ASSERT_TRUE(QFile::exists(package));

    // The copy that is running: version 1.0, installed from an earlier archive.
    const QString install = dir.filePath("velquin");
    makeBinary(install + "/bin/velquin-host", "1.0");
    QFile marker(install + "/.velquin-install");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.close();

    FakeNotifier notifier;
    FakeWorkspace workspace;
    UpdateChecker checker({ QUrl(base + UpdateChecker::kFeedPath), "1.0", QByteArray::fromBase64(publicKey.captured(1).toLatin1()),
                            true, 3'600'000, 10'000, dir.filePath("downloads") },
                          notifier, workspace);
    QStringList started;
    checker.installFolder = install;
    checker.installer = UpdateInstaller([&](const QString& program, const QStringList& arguments) {
        started << program + ' ' + arguments.join(' ');
        return true;
    }, [](qint64) { return false; });
    QString asked;
    checker.confirm = [&](const QString& version) {
        asked = version;
        return true;
    };
    checker.check();
    ASSERT_TRUE(waitFor([&] { return checker.latestVersion() == "9.0"; }, 10000));
    EXPECT_EQ(notifier.posted.value(0).second, "faster files");

    checker.promptAndUpdate();
    ASSERT_TRUE(waitFor([&] { return !started.isEmpty(); }, 20000));
    EXPECT_EQ(asked, "9.0");
    const QString helper = install + ".staging/velquin/bin/velquin-host";
    EXPECT_EQ(started, QStringList { helper + " --finish-update " + QString::number(QCoreApplication::applicationPid()) + ' ' + install });

    // What the new version's helper does once this process has quit.
    started.clear();
    ASSERT_TRUE(checker.installer.finish(QCoreApplication::applicationPid(), install));
    EXPECT_EQ(started, QStringList { install + "/bin/velquin-host " });
    QFile swapped(install + "/.velquin-install");
    ASSERT_TRUE(swapped.open(QIODevice::ReadOnly));
    EXPECT_EQ(swapped.readAll(), "tar 9.0\n");
    EXPECT_TRUE(run(install + "/bin/velquin-host", { "--version" }).startsWith("velquin-host "));
    for (const char* file : { "/install.sh", "/share/applications/velquin-host.desktop", "/share/icons/hicolor/scalable/apps/velquin-host.svg" })
        EXPECT_TRUE(QFile::exists(install + file)) << file;
    UpdateInstaller::cleanUp(install);
    EXPECT_FALSE(QDir(install + ".old").exists());
    EXPECT_TRUE(workspace.revealed.isEmpty());

    // A packaged copy of 1.0 gets the package, through the package manager only.
    FakePackageManager packages;
    UpdateChecker packaged({ QUrl(base + UpdateChecker::kFeedPath), "1.0", QByteArray::fromBase64(publicKey.captured(1).toLatin1()),
                             true, 3'600'000, 10'000, dir.filePath("package-downloads") },
                           notifier, workspace, &packages);
    packaged.program = "/usr/bin/velquin-host";
    packages.owned = QStringList { packaged.program };
    started.clear();
    packaged.installer = checker.installer;
    packaged.confirm = [](const QString&) { return true; };
    packaged.check();
    ASSERT_TRUE(waitFor([&] { return packaged.latestVersion() == "9.0"; }, 10000));
    packaged.promptAndUpdate();
    ASSERT_TRUE(waitFor([&] { return !packages.installed.isEmpty(); }, 20000));
    QFile served(package), handed(packages.installed.value(0));
    ASSERT_TRUE(served.open(QIODevice::ReadOnly) && handed.open(QIODevice::ReadOnly));
    EXPECT_TRUE(served.readAll() == handed.readAll());
    EXPECT_EQ(run("dpkg-deb", { "--field", packages.installed.value(0), "Version" }).trimmed(), "9.0-1");
    EXPECT_EQ(started, QStringList { "/usr/bin/velquin-host --after-update " + QString::number(QCoreApplication::applicationPid()) });
}
