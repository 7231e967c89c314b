#include "OrbelHost/UpdateInstaller.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {
// An installed tree at `folder` whose binary says `version`.
void makeTree(const QString& folder, const QByteArray& version, bool marker = true)
{
    QDir().mkpath(folder + "/bin");
    QFile binary(folder + "/bin/velquin-host");
    binary.open(QIODevice::WriteOnly);
    binary.write("#!/bin/sh\necho " + version + "\n");
    binary.close();
    binary.setPermissions(binary.permissions() | QFile::ExeOwner);
    if (marker) {
        QFile file(folder + "/" + UpdateInstaller::kMarker);
        file.open(QIODevice::WriteOnly);
        file.write("tar\n");
    }
}

QByteArray versionIn(const QString& install)
{
    QFile binary(install + "/bin/velquin-host");
    return binary.open(QIODevice::ReadOnly) ? binary.readAll().split(' ').value(1).trimmed() : QByteArray("<none>");
}

// A release archive holding velquin/ with the given version.
QString makeArchive(const QTemporaryDir& dir, const QByteArray& version, bool marker = true)
{
    const QString source = dir.filePath("source-" + version);
    makeTree(source + "/velquin", version, marker);
    const QString archive = dir.filePath("release-" + version + ".tar.gz");
    EXPECT_EQ(QProcess::execute("tar", { "-czf", archive, "-C", source, "velquin" }), 0);
    return archive;
}

struct Launches {
    QStringList programs;
    int failFirst = 0;
    UpdateInstaller::Launcher launcher()
    {
        return [this](const QString& program, const QStringList&) {
            programs << program;
            return failFirst-- <= 0;
        };
    }
};
} // namespace

TEST(UpdateInstallerTest, OnlyAnInstalledTreeIsUpdated)
{
    QTemporaryDir dir;
    const QString install = dir.filePath("velquin");
    makeTree(install, "1.0");
    EXPECT_EQ(UpdateInstaller::installFolderOf(install + "/bin/velquin-host"), QDir(install).canonicalPath());
    makeTree(dir.filePath("build"), "dev", false);
    EXPECT_FALSE(UpdateInstaller::installFolderOf(dir.filePath("build/bin/velquin-host")));
    EXPECT_FALSE(UpdateInstaller::installFolderOf(dir.filePath("nowhere/bin/velquin-host")));
}

TEST(UpdateInstallerTest, SwapsInTheNewVersionAndCleansUpAfterIt)
{
    QTemporaryDir dir;
    const QString install = dir.filePath("velquin");
    makeTree(install, "1.0");
    Launches launches;
    const UpdateInstaller installer(launches.launcher(), [](qint64) { return false; });

    const auto helper = installer.prepare(makeArchive(dir, "2.0"), install, 4242);
    ASSERT_TRUE(helper);
    EXPECT_EQ(helper->program, install + ".staging/velquin/bin/velquin-host");
    EXPECT_EQ(helper->arguments, (QStringList { "--finish-update", "4242", install }));
    EXPECT_EQ(versionIn(install), "1.0") << "nothing changes before the old app has quit";

    ASSERT_TRUE(installer.finish(4242, install));
    EXPECT_EQ(versionIn(install), "2.0");
    EXPECT_EQ(launches.programs, QStringList { install + "/bin/velquin-host" });
    EXPECT_EQ(versionIn(install + ".old"), "1.0");
    UpdateInstaller::cleanUp(install);
    EXPECT_FALSE(QDir(install + ".old").exists());
    EXPECT_FALSE(QDir(install + ".staging").exists());
}

TEST(UpdateInstallerTest, AnyFailureLeavesTheOldVersionInPlaceAndRunning)
{
    QTemporaryDir dir;
    const QString install = dir.filePath("velquin");
    makeTree(install, "1.0");
    Launches launches;

    // An archive without an installable tree, and one that is not an archive at all.
    const UpdateInstaller installer(launches.launcher(), [](qint64) { return false; });
    EXPECT_FALSE(installer.prepare(makeArchive(dir, "2.0", false), install, 1));
    QFile junk(dir.filePath("junk.tar.gz"));
    junk.open(QIODevice::WriteOnly);
    junk.write("<html>404</html>");
    junk.close();
    EXPECT_FALSE(installer.prepare(junk.fileName(), install, 1));
    EXPECT_FALSE(QDir(install + ".staging").exists());

    // The old app does not quit: abandoned, nothing touched, nothing started.
    const UpdateInstaller stuck(launches.launcher(), [](qint64) { return true; }, 200);
    ASSERT_TRUE(stuck.prepare(makeArchive(dir, "3.0"), install, 1));
    EXPECT_FALSE(stuck.finish(1, install));
    EXPECT_EQ(versionIn(install), "1.0");
    EXPECT_TRUE(launches.programs.isEmpty());

    // The new version will not start: the old one goes back and is started instead.
    launches.failFirst = 1;
    ASSERT_TRUE(installer.prepare(makeArchive(dir, "4.0"), install, 1));
    EXPECT_FALSE(installer.finish(1, install));
    EXPECT_EQ(versionIn(install), "1.0");
    EXPECT_EQ(launches.programs, (QStringList { install + "/bin/velquin-host", install + "/bin/velquin-host" }));

    // The staged tree vanished before the swap: the old one is started as it is.
    launches.programs.clear();
    ASSERT_TRUE(installer.prepare(makeArchive(dir, "5.0"), install, 1));
    QDir(install + ".staging").removeRecursively();
    EXPECT_FALSE(installer.finish(1, install));
    EXPECT_EQ(versionIn(install), "1.0");
    EXPECT_EQ(launches.programs, QStringList { install + "/bin/velquin-host" });
}
