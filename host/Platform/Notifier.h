#pragma once
#include <QString>

#include <functional>

// Local desktop notifications.
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void requestAuthorization() = 0;
    // `body` is plain text. `onActivated`, when given, runs on the main thread if the user
    // clicks the notification (or its action, labelled `actionLabel`).
    virtual void post(const QString& title, const QString& body, std::function<void()> onActivated = {},
                      const QString& actionLabel = {}) = 0;
};
