#include "Platform/Linux/IBusEngines.h"

#include "Platform/Linux/DesktopSettings.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <memory>

namespace {
Q_LOGGING_CATEGORY(ibusLog, "orbel.ibus")

const QString kService = QStringLiteral("org.freedesktop.IBus");
const QString kPath = QStringLiteral("/org/freedesktop/IBus");
const QString kInterface = QStringLiteral("org.freedesktop.IBus");
// A daemon that does not answer quickly is treated as absent: the main thread waits on it.
constexpr int kCallTimeoutMs = 500;

struct Engine {
    QString name;
    QString longName;
};

// An IBusEngineDesc: ("IBusEngineDesc", attachments a{sv}, name, longname, description, …).
std::optional<Engine> engineOf(const QVariant& value)
{
    if (!value.canConvert<QDBusArgument>())
        return std::nullopt;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentType() != QDBusArgument::StructureType)
        return std::nullopt;
    QString type;
    QVariantMap attachments;
    Engine engine;
    argument.beginStructure();
    argument >> type >> attachments >> engine.name >> engine.longName;
    argument.endStructure();
    if (type != QStringLiteral("IBusEngineDesc") || engine.name.isEmpty())
        return std::nullopt;
    return engine;
}

QString machineId()
{
    for (const char* path : { "/etc/machine-id", "/var/lib/dbus/machine-id" }) {
        QFile file(QString::fromLatin1(path));
        if (file.open(QIODevice::ReadOnly))
            return QString::fromLatin1(file.readAll().trimmed());
    }
    return {};
}

} // namespace

IBusEngines::IBusEngines(const QByteArray& display, QObject* parent)
    : QObject(parent)
    , bus_(QStringLiteral("none"))
{
    QString address = qEnvironmentVariable("IBUS_ADDRESS");
    if (address.isEmpty()) {
        QFile file(addressFile(display.isEmpty() ? qgetenv("DISPLAY") : display));
        if (file.open(QIODevice::ReadOnly))
            address = addressFromFile(file.readAll());
    }
    if (address.isEmpty())
        return;
    static int connections = 0;
    connectionName_ = QStringLiteral("velquin-ibus-%1").arg(++connections);
    bus_ = QDBusConnection::connectToBus(address, connectionName_);
    if (!bus_.isConnected()) {
        qCInfo(ibusLog) << "no IBus daemon at" << address;
        return;
    }
    bus_.connect(kService, kPath, kInterface, QStringLiteral("GlobalEngineChanged"), this,
                 SLOT(globalEngineChanged(QString)));
}

IBusEngines::~IBusEngines()
{
    if (!connectionName_.isEmpty())
        QDBusConnection::disconnectFromBus(connectionName_);
}

bool IBusEngines::usable() const
{
    return bus_.isConnected();
}

QString IBusEngines::addressFromFile(const QByteArray& contents)
{
    for (const QByteArray& line : contents.split('\n'))
        if (line.startsWith("IBUS_ADDRESS="))
            return QString::fromUtf8(line.mid(int(strlen("IBUS_ADDRESS="))).trimmed());
    return {};
}

QString IBusEngines::addressFile(const QByteArray& display)
{
    // "host:N.S" → host (or "unix" when there is none) and N.
    const int colon = display.lastIndexOf(':');
    if (colon < 0)
        return {};
    const QByteArray host = display.left(colon);
    QByteArray number = display.mid(colon + 1);
    if (const int dot = number.indexOf('.'); dot >= 0)
        number.truncate(dot);
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return QStringLiteral("%1/ibus/bus/%2-%3-%4")
        .arg(config, machineId(), host.isEmpty() ? QStringLiteral("unix") : QString::fromLatin1(host),
             QString::fromLatin1(number));
}

QStringList IBusEngines::configuredEngines()
{
    // IBus keeps the user's list in GSettings; a desktop without IBus's schema has none.
    return desktop_settings::readStrings("org.freedesktop.ibus.general", "preload-engines").value_or(QStringList {});
}

QList<KeyboardLayouts::Layout> IBusEngines::engines()
{
    if (!usable())
        return {};
    QDBusMessage call;
    const QStringList configured = configuredEngines();
    if (!configured.isEmpty()) {
        call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetEnginesByNames"));
        call << configured;
    } else {
        call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("ListActiveEngines"));
    }
    const QDBusMessage reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    QList<KeyboardLayouts::Layout> list;
    const QDBusArgument array = reply.arguments().constFirst().value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd()) {
        QDBusVariant item;
        array >> item;
        if (const auto engine = engineOf(item.variant()))
            list << KeyboardLayouts::Layout { QLatin1String(kPrefix) + engine->name, engine->longName };
    }
    array.endArray();
    return list;
}

QString IBusEngines::current()
{
    if (!usable())
        return {};
    const QDBusMessage reply = bus_.call(
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetGlobalEngine")), QDBus::Block,
        kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    const auto engine = engineOf(reply.arguments().constFirst().value<QDBusVariant>().variant());
    return engine ? QLatin1String(kPrefix) + engine->name : QString();
}

bool IBusEngines::select(const QString& id)
{
    if (!usable() || !id.startsWith(QLatin1String(kPrefix)))
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("SetGlobalEngine"));
    call << id.mid(int(strlen(kPrefix)));
    return bus_.call(call, QDBus::Block, kCallTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

void IBusEngines::globalEngineChanged(const QString&)
{
    if (onChanged)
        onChanged();
}
