#pragma once
#include "Platform/PackageManager.h"

#include <QStringList>

class FakePackageManager : public PackageManager {
public:
    QStringList owned;
    QStringList installed; // the package files handed over
    Outcome outcome = Outcome::Installed;
    bool owns(const QString& path) override { return owned.contains(path); }
    void install(const QString& packageFile, std::function<void(Outcome)> done) override
    {
        installed << packageFile;
        done(outcome);
    }
};
