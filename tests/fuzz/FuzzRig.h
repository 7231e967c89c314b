#pragma once
// What the fuzz targets share: a linked host on fakes, online at an in-process signaling
// server, with one phone joined and its channels open, made once per process. Each input then
// goes in the way the network would bring it, and the event loop runs until the host has
// handled it.

#include "support/ControllerRig.h"
#include "support/LoopbackSignalServer.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

class FuzzRig {
public:
    static FuzzRig& instance()
    {
        static FuzzRig rig;
        return rig;
    }

    LoopbackSignalServer server;
    ControllerRig rig;
    std::shared_ptr<rtc::FakeDataChannel> control;
    std::shared_ptr<rtc::FakeDataChannel> file;

    // The phone "v1" with both channels open, joined again if an input ended its session.
    void ensurePhone()
    {
        if (control && rig.connectionOf(QStringLiteral("v1")) && control->state() == rtc::DataChannelState::Open
            && file->state() == rtc::DataChannelState::Open)
            return;
        const auto before = rig.factory->connections().size();
        server.sendJson({ { "type", "viewer-join" }, { "from", "v1" } });
        require(spinUntil([&] { return rig.factory->connections().size() > before; }, 5000), "the phone could not join");
        rig.openChannel(QStringLiteral("v1"));
        control = rig.connectionOf(QStringLiteral("v1"))->channel("input");
        file = rig.connectionOf(QStringLiteral("v1"))->channel("file");
        file->setState(rtc::DataChannelState::Open);
        drain();
    }

    // Runs what is queued on this thread now, and what that queues in turn.
    static void drain()
    {
        for (int round = 0; round < 3; ++round) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
    }

    // Runs the event loop until `done` holds (a heartbeat timer keeps it from sleeping for long).
    template <typename Done>
    static bool spinUntil(Done done, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return true;
    }

    // Returns once the host has handled everything the server sent before: the sentinel is a
    // "registered" naming an ICE server of its own.
    void settleSignaling()
    {
        if (!server.connected())
            require(spinUntil([&] { return server.connected() && rig.controller->signalOnline(); }, 30000), "the host did not come back");
        const QString marker = QStringLiteral("stun:sentinel-%1.invalid:19302").arg(++sentinels_);
        server.sendJson({ { "type", "registered" }, { "iceServers", QJsonArray { QJsonObject { { "urls", marker } } } } });
        require(spinUntil([&] {
            const auto& servers = rig.controller->iceServers();
            return (!servers.empty() && servers[0].urls == QStringList { marker }) || !server.connected();
        }, 10000), "the sentinel did not arrive");
        drain();
        // Recorded traffic is not needed and would only grow.
        server.received.clear();
    }

private:
    FuzzRig()
    {
        heartbeat_.start(20);
        rig.settings->setValue(QStringLiteral("signalURL"), server.url().toString());
        rig.link();
        auto& controller = rig.make();
        controller.start();
        require(spinUntil([&] { return controller.signalOnline() && server.connected(); }, 10000), "the host did not go online");
    }

    static void require(bool holds, const char* what)
    {
        if (holds)
            return;
        std::fprintf(stderr, "fuzz rig: %s\n", what);
        std::abort();
    }

    int sentinels_ = 0;
    QTimer heartbeat_;
};

// libFuzzer calls this once before the first input: the Qt application lives for the process.
// A GUI application, as the host is (images are encoded and decoded).
inline void startQt(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
}
