#pragma once
// Puts a verified release archive in place of the installed copy, without a shell and without
// ever leaving the user with no working app:
//   1. prepare(): the running app unpacks the archive into "<install>.staging" and checks that
//      it holds an installable tree;
//   2. the app starts the new tree's own binary with --finish-update <pid> <install> and quits;
//   3. finish(), in that new process, waits for the old app to exit (at most kExitWaitMs; if it
//      does not, the update is abandoned and nothing is touched), renames the old tree to
//      "<install>.old", the new one into its place (putting the old one back if that fails),
//      and starts whichever is in place;
//   4. cleanUp(), at every start, removes what an earlier update left beside the install.
//
// An installed tree is a folder with bin/velquin-host and the marker file ".velquin-install";
// a copy that runs from anywhere else (a build folder, a distribution package) is not updated
// this way. A copy the package manager updated in place is restarted with --after-update <pid>:
// the new program waits for the old one to quit, then starts as usual.

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class UpdateInstaller {
public:
    static inline const QString kMarker = QStringLiteral(".velquin-install");
    static inline const QString kBinary = QStringLiteral("bin/velquin-host");
    // The folder every release archive holds its tree in.
    static inline const QString kArchiveRoot = QStringLiteral("velquin");
    static inline const QString kFinishFlag = QStringLiteral("--finish-update");
    static inline const QString kAfterUpdateFlag = QStringLiteral("--after-update");
    static constexpr int kExitWaitMs = 10'000;

    // Starts a program detached; false when it could not be started.
    using Launcher = std::function<bool(const QString& program, const QStringList& arguments)>;
    // Whether the process is still running.
    using Alive = std::function<bool(qint64 pid)>;

    explicit UpdateInstaller(Launcher launch = {}, Alive alive = {}, int exitWaitMs = kExitWaitMs);

    // The installed tree the running binary belongs to, or nothing.
    static std::optional<QString> installFolderOf(const QString& binaryPath);

    // Step 1; the helper to start (program and arguments) for step 2, or nothing (logged).
    struct Helper {
        QString program;
        QStringList arguments;
    };
    std::optional<Helper> prepare(const QString& archive, const QString& install, qint64 pid) const;
    // Step 2: starts the helper; false when it could not be started.
    bool start(const Helper& helper) const { return launch_(helper.program, helper.arguments); }
    // Whether the process `pid` quit within the exit wait.
    bool awaitExit(qint64 pid) const;
    // Step 3; true when the new version was put in place and started.
    bool finish(qint64 pid, const QString& install) const;
    // Step 4.
    static void cleanUp(const QString& install);

private:
    Launcher launch_;
    Alive alive_;
    int exitWaitMs_;
};
