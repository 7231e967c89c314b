#include "App/HostApp.h"

#include "App/AppResources.h"
#include "App/MenuBarLabel.h"
#include "App/MenuContent.h"
#include "App/SettingsView.h"
#include "OrbelHost/HostController.h"
#include "OrbelHost/HostL10n.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

HostApp::HostApp(HostController& controller, QObject* parent)
    : QObject(parent)
    , controller_(controller)
    , settings_(std::make_unique<SettingsView>(controller))
{
    useAppResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/velquin/icons/velquin-host.svg")));
    UpdateChecker& updates = controller.updates();
    updates.confirm = [](const QString& version) {
        QMessageBox box(QMessageBox::Information, HL(QStringLiteral("Velquin 遠端桌面")),
                        HLFormat(QStringLiteral("有新版本 %@"), { version }));
        box.setInformativeText(HL(QStringLiteral("要現在更新嗎？正在進行的遠端連線會中斷，更新完會自動重新啟動。")));
        QPushButton* now = box.addButton(HL(QStringLiteral("立即更新")), QMessageBox::AcceptRole);
        box.addButton(HL(QStringLiteral("稍後")), QMessageBox::RejectRole);
        box.setDefaultButton(now);
        box.exec();
        return box.clickedButton() == now;
    };
    updates.onFailed = [] {
        QMessageBox::warning(nullptr, HL(QStringLiteral("Velquin 遠端桌面")),
                             HL(QStringLiteral("下載失敗，請稍後再試，或到官網手動下載。")));
    };
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
