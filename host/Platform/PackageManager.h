#pragma once
#include <QString>

#include <functional>

// The system's package manager: whether it owns a file, and installing a package file through
// it with the user's consent (the system asks for an administrator's password).
class PackageManager {
public:
    enum class Outcome {
        Installed,
        Declined,    // the user did not authorise it
        Unavailable, // no way to install from here; the user may open the file in a software centre
        Failed,
    };
    virtual ~PackageManager() = default;
    // Whether an installed package holds the file at `path` (then only the package manager may
    // replace it).
    virtual bool owns(const QString& path) = 0;
    // `done` runs on the calling thread once the package manager has finished.
    virtual void install(const QString& packageFile, std::function<void(Outcome)> done) = 0;
};
