#include "App/HostApp.h"

#include "App/MenuBarLabel.h"
#include "App/MenuContent.h"
#include "App/SettingsView.h"
#include "OrbelHost/HostController.h"

#include <QApplication>

HostApp::HostApp(HostController& controller, QObject* parent)
    : QObject(parent)
    , controller_(controller)
    , settings_(std::make_unique<SettingsView>(controller))
{
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/velquin/icons/velquin-host.svg")));
    settings_->setObjectName(QStringLiteral("settings"));
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        menu_ = std::make_unique<MenuContent>(controller, [this] { openSettings(); });
        tray_ = std::make_unique<MenuBarLabel>(controller, [this] { openSettings(); });
        tray_->setContextMenu(menu_.get());
        // A left click opens the menu too, as on desktops whose trays show it only on the right.
        connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                menu_->popup(QCursor::pos());
        });
        // The app lives in the tray: closing the window does not end it.
        QApplication::setQuitOnLastWindowClosed(false);
    }
}

HostApp::~HostApp() = default;

void HostApp::start()
{
    if (tray_) {
        tray_->appear();
        return;
    }
    controller_.start();
    openSettings();
}

void HostApp::openSettings()
{
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}
