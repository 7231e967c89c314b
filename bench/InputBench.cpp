// Control message arrival → X event: a thread standing in for WebRTC's hands "abs" messages to
// a peer, which passes them to the main thread's injector, which posts them through XTEST; a
// second X client timestamps the pointer's motion as the X server reports it. Prints p50/p95.
// Runs on the display named by DISPLAY (bench/run-input starts a private Xvfb).

#include "OrbelHost/InputInjector.h"
#include "OrbelHost/Peer.h"
#include "Platform/Linux/X11EventPoster.h"
#include "WebRTC/Fake/FakeWebRTC.h"

#include <QCoreApplication>
#include <QTimer>

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kMessages = 1500;
constexpr int kFirstX = 100;

double percentile(std::vector<double> values, double q)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::min(values.size() - 1, std::size_t(q * double(values.size())))];
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    auto poster = std::make_unique<X11EventPoster>();
    if (!poster->usable()) {
        std::fprintf(stderr, "input_bench: no X display with XTEST\n");
        return 1;
    }
    const QRect display = poster->mainDisplayBounds();
    InputInjector injector(std::move(poster));
    auto peer = std::make_shared<Peer>(QStringLiteral("bench"), injector);
    auto control = std::make_shared<rtc::FakeDataChannel>(QStringLiteral("input"));
    peer->channel = control;
    control->setObserver(peer);

    // The watcher: the pointer's motion as another client sees it.
    xcb_connection_t* watch = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(watch)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_POINTER_MOTION;
    xcb_change_window_attributes(watch, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(watch);

    std::vector<Clock::time_point> sent(kMessages), seen(kMessages);
    std::vector<bool> arrived(kMessages, false);
    std::mutex lock;
    std::atomic<bool> stop { false };
    std::thread watcher([&] {
        pollfd fd { xcb_get_file_descriptor(watch), POLLIN, 0 };
        while (!stop) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(watch)) {
                const auto now = Clock::now();
                if ((event->response_type & 0x7f) == XCB_MOTION_NOTIFY) {
                    const int i = reinterpret_cast<xcb_motion_notify_event_t*>(event)->root_x - kFirstX;
                    std::lock_guard guard(lock);
                    if (i >= 0 && i < kMessages && !arrived[i]) {
                        seen[i] = now;
                        arrived[i] = true;
                    }
                }
                std::free(event);
            }
            ::poll(&fd, 1, 20);
        }
    });

    std::atomic<bool> done { false };
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (int i = 0; i < kMessages; ++i) {
            // A pixel of its own per message, so each motion names its message.
            const double x = (kFirstX + i + 0.25 - display.x()) / display.width();
            const QByteArray json = QStringLiteral(R"({"t":"abs","x":%1,"y":0.5})").arg(x, 0, 'g', 17).toUtf8();
            {
                std::lock_guard guard(lock);
                sent[i] = Clock::now();
            }
            control->receive(json);
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
        done = true;
    });
    QTimer finish;
    QObject::connect(&finish, &QTimer::timeout, [&] {
        if (done)
            QTimer::singleShot(300, &app, &QCoreApplication::quit);
    });
    finish.start(50);
    app.exec();
    sender.join();
    stop = true;
    watcher.join();
    xcb_disconnect(watch);

    std::vector<double> ms;
    for (int i = 0; i < kMessages; ++i)
        if (arrived[i])
            ms.push_back(std::chrono::duration<double, std::milli>(seen[i] - sent[i]).count());
    std::printf("control message → X event seen by another client: %zu of %d messages, p50 %.3f ms, p95 %.3f ms, "
                "max %.3f ms\n",
                ms.size(), kMessages, percentile(ms, 0.5), percentile(ms, 0.95), percentile(ms, 1.0));
    return 0;
}
