// An update from end to end: tools/release signs a release, the dev server serves it, the
// checker finds, fetches and verifies it, and the installer swaps it in for the old copy.

#include "OrbelHost/UpdateChecker.h"
#include "Platform/Fake/FakeNotifier.h"
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

QByteArray run(const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(kRelease, arguments);
    process.waitForFinished(60000);
    const QByteArray output = process.readAll();
    EXPECT_EQ(process.exitCode(), 0) << output.constData();
    return output;
}
} // namespace

TEST(UpdateFlowTest, ASignedReleaseOnTheServerReplacesTheInstalledCopy)
{
    QTemporaryDir dir;
    const QString key = dir.filePath("release.pem");
    const QByteArray made = run({ "--new-key", key });
    const auto publicKey = QRegularExpression("public key \\(VELQUIN_UPDATE_PUBLIC_KEY\\): (\\S+)").match(QString::fromUtf8(made));
    ASSERT_TRUE(publicKey.hasMatch()) << made.constData();

    DevServer server;
    const QString updates = dir.filePath("updates");
    QDir().mkpath(updates);
    ASSERT_TRUE(server.start({ "--updates", updates }));
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.port());
    makeBinary(dir.filePath("build/host/velquin-host"), "9.0");
    run({ "--key", key, "--base-url", base, "--version", "9.0", "--build", dir.filePath("build"), "--out", updates,
          "--notes", "faster files" });

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
    QFile binary(install + "/bin/velquin-host");
    ASSERT_TRUE(binary.open(QIODevice::ReadOnly));
    EXPECT_TRUE(binary.readAll().contains("echo 9.0"));
    EXPECT_TRUE(QFile::exists(install + "/share/icons/velquin-host.svg"));
    UpdateInstaller::cleanUp(install);
    EXPECT_FALSE(QDir(install + ".old").exists());
    EXPECT_TRUE(workspace.revealed.isEmpty());
}
