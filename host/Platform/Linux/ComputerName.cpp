#include "Platform/Linux/ComputerName.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QSysInfo>

QString computerName()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        QDBusInterface hostname(QStringLiteral("org.freedesktop.hostname1"), QStringLiteral("/org/freedesktop/hostname1"),
                                QStringLiteral("org.freedesktop.hostname1"), bus);
        hostname.setTimeout(1000);
        const QString pretty = hostname.property("PrettyHostname").toString().trimmed();
        if (!pretty.isEmpty())
            return pretty;
    }
    return QSysInfo::machineHostName();
}
