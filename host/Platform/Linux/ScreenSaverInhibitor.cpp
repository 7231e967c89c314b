#include "Platform/Linux/ScreenSaverInhibitor.h"

#include "OrbelHost/StayAwake.h"
#include "Platform/Linux/X11Support.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(powerLog, "orbel.power")

QDBusMessage screenSaverCall(const QString& method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/org/freedesktop/ScreenSaver"),
                                          QStringLiteral("org.freedesktop.ScreenSaver"), method);
}

// The X server's own idle timer (blanking, DPMS), for desktops without a screen-saver service.
void resetXScreenSaver()
{
    xcb_window_t root = 0;
    xcb_connection_t* connection = x11::connect({}, "keeping the screen on", root);
    if (!connection)
        return;
    xcb_force_screen_saver(connection, XCB_SCREEN_SAVER_RESET);
    xcb_flush(connection);
    xcb_disconnect(connection);
}
} // namespace

ScreenSaverInhibitor::ScreenSaverInhibitor(QDBusConnection session, QDBusConnection system)
    : session_(std::move(session))
    , system_(std::move(system))
{
}

void ScreenSaverInhibitor::hold(std::function<void(bool)> done)
{
    const quint64 generation = ++generation_;
    QDBusMessage call = screenSaverCall(QStringLiteral("Inhibit"));
    call << kAppName << StayAwake::kReason;
    auto* watcher = new QDBusPendingCallWatcher(session_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, generation, done = std::move(done)] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            qCWarning(powerLog).noquote() << "no screen-saver service to keep the display on:" << reply.error().message();
        } else if (generation != generation_) {
            session_.asyncCall(screenSaverCall(QStringLiteral("UnInhibit")) << reply.value());
        } else {
            cookie_ = reply.value();
        }
        holdIdle(!reply.isError(), done);
    });
}

void ScreenSaverInhibitor::holdIdle(bool screenSaver, std::function<void(bool)> done)
{
    const quint64 generation = generation_;
    if (!system_.isConnected()) {
        done(screenSaver);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                                                       QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("idle") << kAppName << StayAwake::kReason << QStringLiteral("block");
    auto* watcher = new QDBusPendingCallWatcher(system_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, generation, screenSaver, done] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        // Closing our copy of the descriptor ends logind's inhibitor.
        if (!reply.isError() && generation == generation_)
            idleLock_ = reply.value();
        done(screenSaver || (!reply.isError() && generation == generation_));
    });
}

void ScreenSaverInhibitor::release()
{
    ++generation_;
    if (cookie_)
        session_.asyncCall(screenSaverCall(QStringLiteral("UnInhibit")) << *cookie_);
    cookie_.reset();
    idleLock_ = QDBusUnixFileDescriptor();
}

void ScreenSaverInhibitor::declareActivity()
{
    session_.asyncCall(screenSaverCall(QStringLiteral("SimulateActivity")));
    resetXScreenSaver();
}
