#include "support/FakePortal.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QTimer>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {
const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");

// One shared stream of Start's results: its PipeWire node and properties.
struct PortalStream {
    uint node = 0;
    QVariantMap properties;
};
using PortalStreams = QList<PortalStream>;
} // namespace

Q_DECLARE_METATYPE(PortalStream)
Q_DECLARE_METATYPE(PortalStreams)

namespace {
QDBusArgument& operator<<(QDBusArgument& argument, const PortalStream& stream)
{
    argument.beginStructure();
    argument << stream.node << stream.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalStream& stream)
{
    argument.beginStructure();
    argument >> stream.node >> stream.properties;
    argument.endStructure();
    return argument;
}

QVariantMap optionsOf(const QDBusMessage& call)
{
    for (const QVariant& argument : call.arguments())
        if (argument.canConvert<QDBusArgument>() && argument.value<QDBusArgument>().currentSignature() == QStringLiteral("a{sv}"))
            return qdbus_cast<QVariantMap>(argument);
    return {};
}

// The caller's unique name as request and session paths spell it: ":1.42" → "1_42".
QString senderPart(const QDBusMessage& call)
{
    return call.service().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
}

// A new connection to the PipeWire daemon the headless mutter streams to.
int pipeWireSocket()
{
    const QByteArray dir = qgetenv("PIPEWIRE_RUNTIME_DIR");
    const QByteArray path = dir + "/pipewire-0";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}
} // namespace

FakePortal::FakePortal()
    : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("velquin-fake-portal")))
{
    qDBusRegisterMetaType<PortalStream>();
    qDBusRegisterMetaType<PortalStreams>();
    ok_ = bus_.isConnected() && bus_.registerVirtualObject(kPath, this, QDBusConnection::SubPath) && bus_.registerService(kService);
}

FakePortal::~FakePortal()
{
    bus_.unregisterService(kService);
    bus_.unregisterObject(kPath, QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus(QStringLiteral("velquin-fake-portal"));
}

QString FakePortal::introspect(const QString&) const
{
    return {};
}

void FakePortal::respond(const QDBusMessage& call, uint code, const QVariantMap& results)
{
    const QString request = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                .arg(senderPart(call), optionsOf(call).value(QStringLiteral("handle_token")).toString());
    bus_.send(call.createReply(QVariant::fromValue(QDBusObjectPath(request))));
    // As the portal does: the response follows the reply.
    QTimer::singleShot(0, [bus = bus_, request, code, results]() mutable {
        QDBusMessage response = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        response << code << results;
        bus.send(response);
    });
}

void FakePortal::start(const QDBusMessage& call)
{
    ++starts;
    if (answer == Answer::Decline) {
        respond(call, 1, {});
        return;
    }
    mutter_ = std::make_unique<MutterRemoteDesktop>();
    if (!mutter_->open()) {
        respond(call, 2, {});
        return;
    }
    QVariantMap results;
    results[QStringLiteral("streams")] = QVariant::fromValue(PortalStreams { PortalStream { mutter_->pipeWireNode(), {} } });
    results[QStringLiteral("devices")] = answer == Answer::Share ? 3u : 0u;
    respond(call, 0, results);
}

void FakePortal::forwardInput(const QDBusMessage& call)
{
    const QList<QVariant> a = call.arguments();
    const QString method = call.member();
    if (mutter_ && a.size() >= 4) {
        if (method == QStringLiteral("NotifyPointerMotionAbsolute") && a.size() == 5)
            mutter_->pointerMotionAbsolute(a[3].toDouble(), a[4].toDouble());
        else if (method == QStringLiteral("NotifyPointerMotion"))
            mutter_->pointerMotionRelative(a[2].toDouble(), a[3].toDouble());
        else if (method == QStringLiteral("NotifyPointerButton"))
            mutter_->pointerButton(a[2].toInt(), a[3].toUInt() != 0);
        else if (method == QStringLiteral("NotifyPointerAxisDiscrete"))
            mutter_->pointerAxisDiscrete(int(a[2].toUInt()), a[3].toInt());
        else if (method == QStringLiteral("NotifyKeyboardKeycode"))
            mutter_->keyboardKeycode(uint32_t(a[2].toInt()), a[3].toUInt() != 0);
        else if (method == QStringLiteral("NotifyKeyboardKeysym"))
            mutter_->keyboardKeysym(uint32_t(a[2].toInt()), a[3].toUInt() != 0);
    }
    bus_.send(call.createReply());
}

bool FakePortal::handleMessage(const QDBusMessage& call, const QDBusConnection&)
{
    const QString interface = call.interface();
    const QString method = call.member();
    if (interface == QStringLiteral("org.freedesktop.DBus.Properties") && method == QStringLiteral("Get")) {
        const QString property = call.arguments().value(1).toString();
        const uint value = property == QStringLiteral("AvailableCursorModes") ? 7u : 1u;
        bus_.send(call.createReply(QVariant::fromValue(QDBusVariant(value))));
        return true;
    }
    if (interface == QStringLiteral("org.freedesktop.portal.Session") && method == QStringLiteral("Close")) {
        ++sessionsClosed;
        if (mutter_)
            mutter_->close();
        bus_.send(call.createReply());
        return true;
    }
    if (method == QStringLiteral("CreateSession")) {
        const QString session = QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2%3")
                                    .arg(senderPart(call), optionsOf(call).value(QStringLiteral("session_handle_token")).toString())
                                    .arg(++sessions_);
        respond(call, 0, { { QStringLiteral("session_handle"), session } });
        return true;
    }
    if (method == QStringLiteral("SelectDevices") || method == QStringLiteral("SelectSources")) {
        respond(call, 0, {});
        return true;
    }
    if (method == QStringLiteral("Start")) {
        start(call);
        return true;
    }
    if (method == QStringLiteral("OpenPipeWireRemote")) {
        const int fd = pipeWireSocket();
        bus_.send(call.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fd))));
        if (fd >= 0)
            ::close(fd);
        return true;
    }
    if (method.startsWith(QStringLiteral("Notify"))) {
        forwardInput(call);
        return true;
    }
    return false;
}
