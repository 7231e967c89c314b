#pragma once
#include "Platform/Notifier.h"
#include <QList>
#include <QPair>

class FakeNotifier : public Notifier {
public:
    int authorizationRequests = 0;
    QList<QPair<QString, QString>> posted;
    void requestAuthorization() override { ++authorizationRequests; }
    void post(const QString& title, const QString& body) override { posted.append({ title, body }); }
};
