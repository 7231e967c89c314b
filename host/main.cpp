// velquin-host: shares this desktop with the owner's phones.

#include "OrbelHost/HostController.h"
#include "OrbelHost/HostL10n.h"
#include "OrbelHost/LinkQRCode.h"
#include "Platform/Fake/FakeLoginItem.h"
#include "Platform/Fake/FakeNotifier.h"
#include "Platform/Linux/ComputerName.h"
#include "Platform/Linux/MemoryTuning.h"
#include "Platform/Linux/QuitSignals.h"
#include "Platform/Linux/SecretServiceKeychain.h"
#include "Platform/Linux/X11CursorSource.h"
#include "Platform/Linux/X11EventPoster.h"
#include "Platform/Linux/LinuxKeyboardLayouts.h"
#include "Platform/Linux/X11PermissionProbe.h"
#include "Platform/Linux/X11ScreenSource.h"
#include "WebRTC/GstWebRTC.h"

#include <QCoreApplication>
#include <QSettings>

#include <cstdio>

namespace {
void say(const QString& line)
{
    std::fprintf(stderr, "velquin-host: %s\n", qPrintable(line));
}

QString setting(const char* variable, const char* builtIn)
{
    const QString value = qEnvironmentVariable(variable);
    return value.isEmpty() ? QString::fromUtf8(builtIn) : value;
}
} // namespace

int main(int argc, char** argv)
{
    tuneMemoryForLargeFrames();
    QCoreApplication app(argc, argv);
    quitOnTerminationSignals();
    QCoreApplication::setOrganizationName(QStringLiteral("Velquin"));
    QCoreApplication::setApplicationName(QStringLiteral("velquin-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELQUIN_VERSION));

    QSettings settings;
    HostEnvironment env;
    env.settings = &settings;
    env.computerName = computerName();
    env.defaultSignalURL = setting("VELQUIN_SIGNAL_URL", VELQUIN_DEFAULT_SIGNAL_URL);
    env.keychain = std::make_shared<SecretServiceKeychain>();
    NimbraServer::Config account;
    account.baseURL = QUrl(setting("VELQUIN_ACCOUNT_URL", VELQUIN_DEFAULT_ACCOUNT_URL));
    account.appKey = setting("VELQUIN_APP_KEY", VELQUIN_DEFAULT_APP_KEY);
    env.account = std::make_unique<NimbraServer>(account, env.keychain);
    env.permissions = std::make_unique<X11PermissionProbe>();
    env.screen = std::make_unique<X11ScreenSource>();
    rtc::GstOptions media;
    media.loopbackOnly = qEnvironmentVariable("VELQUIN_ICE_LOOPBACK") == QStringLiteral("1");
    env.factory = rtc::makeGstPeerConnectionFactory(media);
    if (!env.factory) {
        say(QStringLiteral("GStreamer's WebRTC plugins are missing (run scripts/setup)"));
        return 1;
    }
    env.events = std::make_unique<X11EventPoster>();
    env.cursor = std::make_unique<X11CursorSource>();
    env.layouts = std::make_unique<LinuxKeyboardLayouts>(std::make_unique<X11KeyboardLayouts>(), std::make_unique<IBusEngines>());
    // Notifications and the login item get their desktop backends with the app shell; until
    // then the in-memory ones stand in.
    env.notifier = std::make_unique<FakeNotifier>();
    env.loginItem = std::make_unique<FakeLoginItem>();

    HostController controller(std::move(env));
    QObject::connect(&controller, &HostController::signalStatusChanged, [&] { say(controller.signalStatus()); });
    QObject::connect(&controller, &HostController::viewerCountChanged, [&] {
        say(HLFormat(QStringLiteral("正在遠端：%ld 支手機"), { controller.viewerCount() }));
    });
    QObject::connect(&controller, &HostController::linkMessageChanged, [&] {
        if (!controller.linkMessage().isEmpty())
            say(controller.linkMessage());
    });
    // Until the settings window shows it, the QR code goes to the terminal.
    QObject::connect(&controller, &HostController::linkTokenChanged, [&] {
        if (controller.linkToken().isEmpty())
            return;
        const QString payload = QStringLiteral("nimbralink:") + controller.linkToken();
        std::fprintf(stderr, "\n%s\n%s\n\n", qPrintable(qrCodeText(payload)), qPrintable(payload));
    });
    say(HL(QStringLiteral("Velquin 遠端桌面")) + QStringLiteral(" ") + QStringLiteral(VELQUIN_VERSION)
        + QStringLiteral(" — ") + controller.hostId());
    controller.start();
    if (controller.accountHostId().isNull())
        controller.startLinking();
    return app.exec();
}
