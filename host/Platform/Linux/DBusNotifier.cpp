#include "Platform/Linux/DBusNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(notifyLog, "orbel.notify")

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");
} // namespace

DBusNotifier::DBusNotifier(QDBusConnection bus)
    : bus_(std::move(bus))
    , daemonWatcher_(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange)
{
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
    bus_.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(notificationClosed(uint, uint)));
    // Another daemon may take over while we run, reading bodies its own way.
    connect(&daemonWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { markup_.reset(); });
}

void DBusNotifier::post(const QString& title, const QString& body, std::function<void()> onActivated,
                        const QString& actionLabel)
{
    // Whether the body is read as markup is the daemon's choice; ask it once per daemon, and
    // escape unless it says it does not.
    if (markup_) {
        notify(title, *markup_ ? body.toHtmlEscaped() : body, std::move(onActivated), actionLabel);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(
        bus_.asyncCall(QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, title, body, onActivated = std::move(onActivated), actionLabel] {
                watcher->deleteLater();
                const QDBusPendingReply<QStringList> reply = *watcher;
                const bool markup = reply.isError() || reply.value().contains(QStringLiteral("body-markup"));
                if (!reply.isError())
                    markup_ = markup;
                notify(title, markup ? body.toHtmlEscaped() : body, onActivated, actionLabel);
            });
}

void DBusNotifier::notify(const QString& title, const QString& body, std::function<void()> onActivated,
                          const QString& actionLabel)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QStringList actions;
    if (onActivated)
        actions << kDefaultAction << (actionLabel.isEmpty() ? title : actionLabel);
    // app name, replaces id, icon, summary, body, actions, hints, timeout (-1: the server's).
    call << kAppName << 0u << kIcon << title << body << actions << QVariantMap() << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, onActivated = std::move(onActivated)] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            if (!warned_->exchange(true))
                qCWarning(notifyLog).noquote() << "no desktop notification:" << reply.error().message();
            return;
        }
        if (onActivated)
            actions_.insert(reply.value(), onActivated);
    });
}

void DBusNotifier::actionInvoked(uint id, const QString& action)
{
    const auto found = actions_.find(id);
    if (found == actions_.end() || action != kDefaultAction)
        return;
    const auto activated = found.value();
    actions_.erase(found);
    activated();
}

void DBusNotifier::notificationClosed(uint id, uint)
{
    actions_.remove(id);
}
