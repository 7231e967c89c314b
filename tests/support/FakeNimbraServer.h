#pragma once
// Stands in for the account server in unit tests: answers at once from what the test set,
// and counts the calls.

#include "OrbelHost/NimbraServer.h"

#include <QList>

class FakeNimbraServer : public NimbraServer {
public:
    explicit FakeNimbraServer(std::shared_ptr<Keychain> keychain) : NimbraServer(std::move(keychain), nullptr) {}

    std::function<void(std::function<void(Result<Ticket>)>)> ticketSource = [](auto done) {
        done(Ticket { QStringLiteral("test-ticket"), std::nullopt });
    };
    int ticketRequests = 0;

    void hostTicket(std::function<void(Result<Ticket>)> done) override
    {
        ++ticketRequests;
        ticketSource(std::move(done));
    }
    void registerHost(const QString&, std::function<void(Result<QString>)> done) override { done(QStringLiteral("acct-registered")); }
    void createLinkRequest(std::function<void(Result<QString>)> done) override { done(QStringLiteral("link-token")); }
    void linkStatus(const QString&, std::function<void(LinkStatus)> done) override { done(LinkStatus { QStringLiteral("pending"), std::nullopt, true }); }
};
