#pragma once
// A desktop portal with a remote-desktop backend, on the test's session bus, for the portal
// route of the Wayland backend: it answers the way xdg-desktop-portal does (a request object
// per call, its Response signal after the reply) and carries the session out on a headless
// mutter, so frames and input are real. The user's answer to the dialog is set by the test.

#include "Platform/Linux/MutterRemoteDesktop.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>

#include <memory>

class FakePortal : public QDBusVirtualObject {
public:
    enum class Answer { Share, ShareScreenOnly, Decline };

    FakePortal();
    ~FakePortal() override;
    // Whether it owns the portal's name on the session bus.
    bool ok() const { return ok_; }

    Answer answer = Answer::Share;
    int starts = 0;      // dialogs "shown"
    int sessionsClosed = 0;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    void respond(const QDBusMessage& call, uint code, const QVariantMap& results);
    void start(const QDBusMessage& call);
    void forwardInput(const QDBusMessage& call);

    QDBusConnection bus_;
    bool ok_ = false;
    std::unique_ptr<MutterRemoteDesktop> mutter_;
    unsigned sessions_ = 0;
};
