// Account-server answers: the input is the whole HTTP response (status line, headers, body)
// that comes back, on a loopback connection, to each of the host's four requests: a ticket,
// registration, a link request and a link status poll, all at once. Each must end in a result
// or a failure. An answer cut short ends only at the transfer timeout, kept short here.

#include "FuzzRig.h"
#include "OrbelHost/NimbraServer.h"
#include "Platform/Fake/FakeKeychain.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace {
// Answers every request, once its headers are in, with the same bytes, then hangs up.
class RawHttpServer : public QTcpServer {
public:
    QByteArray response;

    RawHttpServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                // The server is the context: its connections go before its sockets do, so a
                // socket closing as the server is destroyed reaches nothing of it.
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    request_[socket] += socket->readAll();
                    if (!request_[socket].contains("\r\n\r\n"))
                        return;
                    request_.remove(socket);
                    socket->write(response);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    request_.remove(socket);
                    socket->deleteLater();
                });
            }
        });
    }

private:
    QHash<QTcpSocket*, QByteArray> request_;
};

struct AccountRig {
    RawHttpServer server;
    NimbraServer account;

    AccountRig()
        : account({ .baseURL = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort())),
                    .appKey = QStringLiteral("fuzz"), .postTimeoutMs = 250, .statusTimeoutMs = 250 },
                  std::make_shared<FakeKeychain>())
    {
    }
};
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    startQt(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static AccountRig rig;
    rig.server.response = QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
    int answered = 0;
    rig.account.hostTicket([&](const NimbraServer::Result<NimbraServer::Ticket>&) { ++answered; });
    rig.account.registerHost(QStringLiteral("fuzz"), [&](const NimbraServer::Result<QString>&) { ++answered; });
    rig.account.createLinkRequest([&](const NimbraServer::Result<QString>&) { ++answered; });
    rig.account.linkStatus(QStringLiteral("t"), [&](const NimbraServer::LinkStatus&) { ++answered; });
    // Every request ends, one way or another, well within its timeout.
    if (!FuzzRig::spinUntil([&] { return answered == 4; }, 15000)) {
        std::fprintf(stderr, "a request to the account server never ended\n");
        std::abort();
    }
    return 0;
}
