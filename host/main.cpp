// velquin-host: shares this desktop with the owner's phones.
//   velquin-host --set-pin     reads an access PIN (4 to 8 digits) from standard input and stores it
//   velquin-host --clear-pin   removes the access PIN
//   velquin-host --version     prints the version
// (the settings window offers both as well).

#include "App/HostApp.h"
#include "OrbelHost/HostController.h"
#include "OrbelHost/HostL10n.h"
#include "OrbelHost/LinkQRCode.h"
#include "OrbelHost/UpdateInstaller.h"
#include "Platform/Linux/AptPackageManager.h"
#include "Platform/Linux/ComputerName.h"
#include "Platform/Linux/DBusNotifier.h"
#include "Platform/Linux/DesktopBackends.h"
#include "Platform/Linux/FileManagerWorkspace.h"
#include "Platform/Linux/LinuxKeyboardLayouts.h"
#include "Platform/Linux/MemoryTuning.h"
#include "Platform/Linux/ScreenSaverInhibitor.h"
#include "Platform/Linux/XdgAutostart.h"
#include "Platform/Linux/QuitSignals.h"
#include "Platform/Linux/SecretServiceKeychain.h"
#include "Support/SerialWorker.h"
#include "WebRTC/GstWebRTC.h"

#include <QCoreApplication>
#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>

namespace {
// Qt's X11 plugin ends the process with exit() when the X server goes away, past the event
// loop and every destructor in main(). The phones would keep a frozen picture until their
// connections time out, so their sessions end on the way out instead.
class EndSessionsAtExit {
public:
    explicit EndSessionsAtExit(HostController& controller)
    {
        active_ = &controller;
        static const bool registered = std::atexit(run) == 0;
        (void)registered;
    }
    ~EndSessionsAtExit() { active_ = nullptr; }
    EndSessionsAtExit(const EndSessionsAtExit&) = delete;
    EndSessionsAtExit& operator=(const EndSessionsAtExit&) = delete;

private:
    static void run()
    {
        if (!active_)
            return;
        std::fputs("velquin-host: exiting from under the event loop (the display is gone?): ending every session\n", stderr);
        // The windows are past use by now: nothing may redraw for the phones leaving.
        active_->blockSignals(true);
        active_->closeAllPeers();
        SerialWorker::settleNamed(std::chrono::seconds(2));
    }
    static inline HostController* active_ = nullptr;
};

void say(const QString& line)
{
    std::fprintf(stderr, "velquin-host: %s\n", qPrintable(line));
}

QString setting(const char* variable, const char* builtIn)
{
    const QString value = qEnvironmentVariable(variable);
    return value.isEmpty() ? QString::fromUtf8(builtIn) : value;
}
// --set-pin and --clear-pin: the PIN's keychain item, and nothing else.
int pinCommand(bool set)
{
    AccessPIN pin(std::make_shared<SecretServiceKeychain>());
    QObject context;
    bool ok = false;
    const auto finish = [&](bool result) {
        ok = result;
        QCoreApplication::quit();
    };
    if (set) {
        const QString text = QTextStream(stdin).readLine().trimmed();
        if (!AccessPIN::isValidFormat(text)) {
            say(QStringLiteral("a PIN has %1 to %2 digits").arg(AccessPIN::kMinDigits).arg(AccessPIN::kMaxDigits));
            return 2;
        }
        pin.set(text, &context, finish);
    } else {
        pin.clear(&context, finish);
    }
    QCoreApplication::exec();
    say(ok ? (set ? QStringLiteral("access PIN set") : QStringLiteral("access PIN removed"))
           : QStringLiteral("the keychain did not take the change"));
    return ok ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    tuneMemoryForLargeFrames();
    QCoreApplication::setOrganizationName(QStringLiteral("Velquin"));
    QCoreApplication::setApplicationName(QStringLiteral("velquin-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELQUIN_VERSION));
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (arguments == QStringList { QStringLiteral("--version") }) {
        std::printf("velquin-host %s\n", VELQUIN_VERSION);
        return 0;
    }
    // The PIN commands touch only the keychain, so they work without a display (over ssh, say).
    if (arguments == QStringList { QStringLiteral("--set-pin") } || arguments == QStringList { QStringLiteral("--clear-pin") }) {
        QCoreApplication app(argc, argv);
        return pinCommand(arguments.first() == QStringLiteral("--set-pin"));
    }
    // The second half of an update, run by the new version once the old one has quit.
    if (arguments.size() == 3 && arguments[0] == UpdateInstaller::kFinishFlag) {
        QCoreApplication app(argc, argv);
        return UpdateInstaller().finish(arguments[1].toLongLong(), arguments[2]) ? 0 : 1;
    }
    // Restarted by the old version after the package manager updated this program: two copies
    // of the app never run at once.
    if (arguments.size() == 2 && arguments[0] == UpdateInstaller::kAfterUpdateFlag) {
        if (!UpdateInstaller().awaitExit(arguments[1].toLongLong())) {
            say(QStringLiteral("the earlier version is still running"));
            return 1;
        }
        arguments.clear();
    }
    if (!arguments.isEmpty()) {
        const bool help = arguments == QStringList { QStringLiteral("--help") };
        std::fprintf(help ? stdout : stderr, "usage: velquin-host [--set-pin | --clear-pin | --version]\n");
        return help ? 0 : 2;
    }
    // The clipboard, the tray and the settings window belong to the desktop session.
    QApplication app(argc, argv);
    quitOnTerminationSignals();
    // Destroyed after the controller, before the application: what the controller's end handed
    // to workers (pipelines stopping, a secret being stored, a screenshot) finishes first.
    struct SettleWorkers {
        ~SettleWorkers() { SerialWorker::settleNamed(std::chrono::seconds(2)); }
    } settleWorkers;

    // What an earlier update left beside this copy goes now.
    if (const auto install = UpdateInstaller::installFolderOf(QCoreApplication::applicationFilePath()))
        UpdateInstaller::cleanUp(*install);

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
    DesktopBackends desktop = DesktopBackends::make(DesktopBackends::detect());
    env.permissions = std::move(desktop.permissions);
    env.screen = std::move(desktop.screen);
    rtc::GstOptions media;
    media.loopbackOnly = qEnvironmentVariable("VELQUIN_ICE_LOOPBACK") == QStringLiteral("1");
    media.adaptRate = qEnvironmentVariable("VELQUIN_RATE_ADAPTATION") != QStringLiteral("0"); // benchmarks compare
    env.factory = rtc::makeGstPeerConnectionFactory(media);
    if (!env.factory) {
        say(QStringLiteral("GStreamer's WebRTC plugins are missing (on Debian: gstreamer1.0-plugins-bad, gstreamer1.0-nice)"));
        return 1;
    }
    env.events = std::move(desktop.events);
    env.cursor = std::move(desktop.cursor);
    env.layouts = std::make_unique<LinuxKeyboardLayouts>(std::make_unique<X11KeyboardLayouts>(), std::make_unique<IBusEngines>());
    env.notifier = std::make_unique<DBusNotifier>();
    env.pasteboard = std::move(desktop.pasteboard);
    env.workspace = std::make_unique<FileManagerWorkspace>();
    env.screenshotSource = std::move(desktop.screenshotSource);
    // A development update server (VELQUIN_UPDATE_URL) may be plain http on this machine.
    const QString updateServer = qEnvironmentVariable("VELQUIN_UPDATE_URL");
    env.update.feedURL = QUrl(setting("VELQUIN_UPDATE_URL", VELQUIN_DEFAULT_UPDATE_URL) + UpdateChecker::kFeedPath);
    env.update.allowLoopbackHttp = !updateServer.isEmpty();
    env.update.publicKey = QByteArray::fromBase64(setting("VELQUIN_UPDATE_PUBLIC_KEY", VELQUIN_DEFAULT_UPDATE_PUBLIC_KEY).toLatin1());
    env.update.currentVersion = QStringLiteral(VELQUIN_VERSION);
    env.update.downloadFolder = QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).filePath(QStringLiteral("updates"));
    env.packages = std::make_unique<AptPackageManager>();
    env.loginItem = std::make_unique<XdgAutostart>();
    env.power = std::make_unique<ScreenSaverInhibitor>();

    HostController controller(std::move(env));
    const EndSessionsAtExit endSessionsAtExit(controller);
    QObject::connect(&controller, &HostController::signalStatusChanged, [&] { say(controller.signalStatus()); });
    QObject::connect(&controller, &HostController::viewerCountChanged, [&] {
        say(HLFormat(QStringLiteral("正在遠端：%ld 支手機"), { controller.viewerCount() }));
    });
    QObject::connect(&controller, &HostController::linkMessageChanged, [&] {
        if (!controller.linkMessage().isEmpty())
            say(controller.linkMessage());
    });
    // The QR code goes to the terminal too, for a host started from one.
    QObject::connect(&controller, &HostController::linkTokenChanged, [&] {
        if (controller.linkToken().isEmpty())
            return;
        const QString payload = QStringLiteral("nimbralink:") + controller.linkToken();
        std::fprintf(stderr, "\n%s\n%s\n\n", qPrintable(qrCodeText(payload)), qPrintable(payload));
    });
    say(HL(QStringLiteral("Velquin 遠端桌面")) + QStringLiteral(" ") + QStringLiteral(VELQUIN_VERSION)
        + QStringLiteral(" — ") + controller.hostId());
    HostApp shell(controller);
    shell.start();
    // A computer not linked yet shows its QR code at once, so the first run is one scan away.
    if (controller.accountHostId().isNull()) {
        controller.startLinking();
        shell.openSettings();
    }
    return app.exec();
}
