#pragma once
// A linked controller on fakes, connected to an in-process signaling server.

#include "support/ControllerRig.h"
#include "support/LoopbackSignalServer.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

class HostFixture : public ::testing::Test {
protected:
    LoopbackSignalServer server;
    ControllerRig rig;

    HostController& startLinked()
    {
        rig.settings->setValue(QStringLiteral("signalURL"), server.url().toString());
        rig.link();
        auto& controller = rig.make();
        controller.start();
        EXPECT_TRUE(waitFor([&] { return controller.signalOnline() && server.connected(); }));
        return controller;
    }

    // Sends a join and waits until it opened a session or was refused.
    void join(const QString& viewer)
    {
        const auto before = rig.factory->connections().size();
        const auto refused = sentTo(viewer, "rejected").size();
        server.sendJson({ { "type", "viewer-join" }, { "from", viewer } });
        waitFor([&] { return rig.factory->connections().size() > before || sentTo(viewer, "rejected").size() > refused; }, 1000);
    }

    void signal(const QJsonObject& message)
    {
        const int before = int(server.received.size());
        server.sendJson(message);
        // Let the frame arrive and be handled; the server answers nothing, so wait a little.
        waitFor([&] { return int(server.received.size()) > before; }, 100);
    }

    QList<QJsonObject> sentTo(const QString& viewer, const QString& type) const
    {
        QList<QJsonObject> out;
        for (const auto& m : server.received)
            if (m.value("to").toString() == viewer && m.value("type").toString() == type)
                out << m;
        return out;
    }
};
