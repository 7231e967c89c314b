#pragma once
// A linked controller on fakes, connected to an in-process signaling server.

#include "support/ControllerRig.h"
#include "support/LoopbackSignalServer.h"
#include "support/Wait.h"

#include <QJsonArray>

#include <gtest/gtest.h>

class HostFixture : public ::testing::Test {
protected:
    int sentinels_ = 0;
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

    // Returns once the host has handled every signaling message sent before, and what they
    // queued on the main thread: the sentinel is a "registered" naming an ICE server of its
    // own, which the test can see arrive.
    void settle()
    {
        const QString marker = QStringLiteral("stun:sentinel-%1.invalid:19302").arg(++sentinels_);
        server.sendJson({ { "type", "registered" }, { "iceServers", QJsonArray { QJsonObject { { "urls", marker } } } } });
        EXPECT_TRUE(waitFor([&] {
            const auto& servers = rig.controller->iceServers();
            return !servers.empty() && servers[0].urls == QStringList { marker };
        })) << "the sentinel did not arrive";
        drainEvents();
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
