#pragma once
#include "Platform/Notifier.h"
#include <QList>
#include <QPair>

class FakeNotifier : public Notifier {
public:
    int authorizationRequests = 0;
    QList<QPair<QString, QString>> posted;
    // What clicking each posted notification would do (empty where it does nothing).
    QList<std::function<void()>> activations;
    void requestAuthorization() override { ++authorizationRequests; }
    void post(const QString& title, const QString& body, std::function<void()> onActivated, const QString&) override
    {
        posted.append({ title, body });
        activations.append(std::move(onActivated));
    }
};
