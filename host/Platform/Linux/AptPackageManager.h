#pragma once
// dpkg and apt: dpkg-query says who owns a file; apt-get installs a package file, run through
// pkexec so that the system asks for an administrator's password.

#include "Platform/PackageManager.h"

#include <QObject>
#include <QStringList>

class AptPackageManager : public PackageManager {
public:
    // `installCommand` gets the package file appended; `adminDir` is dpkg's database folder
    // (the system's when empty). Both replaceable for tests.
    explicit AptPackageManager(QStringList installCommand = defaultInstallCommand(), QString adminDir = {});

    bool owns(const QString& path) override;
    void install(const QString& packageFile, std::function<void(Outcome)> done) override;

    static QStringList defaultInstallCommand();
    // pkexec's exit statuses when the user dismissed the password dialog or was not allowed.
    static constexpr int kNotAuthorised = 126;
    static constexpr int kNoAuthorisation = 127;

private:
    QStringList installCommand_;
    QString adminDir_;
    QObject context_;
};
