#pragma once
#include <QString>

// Local desktop notifications.
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void requestAuthorization() = 0;
    virtual void post(const QString& title, const QString& body) = 0;
};
