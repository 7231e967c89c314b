#include "App/MenuBarLabel.h"

#include "App/AppResources.h"
#include "OrbelHost/HostController.h"
#include "OrbelHost/HostL10n.h"

MenuBarLabel::MenuBarLabel(HostController& controller, std::function<void()> openSettings, QObject* parent)
    : QSystemTrayIcon(parent)
    , controller_(controller)
    , openSettings_(std::move(openSettings))
{
    setToolTip(HL(QStringLiteral("Velquin 遠端桌面")));
    connect(&controller_, &HostController::viewerCountChanged, this, &MenuBarLabel::refresh);
    refresh();
}

QIcon MenuBarLabel::idleIcon()
{
    useAppResources();
    return QIcon(QStringLiteral(":/velquin/icons/tray-idle.svg"));
}

QIcon MenuBarLabel::busyIcon()
{
    useAppResources();
    return QIcon(QStringLiteral(":/velquin/icons/tray-connected.svg"));
}

void MenuBarLabel::appear()
{
    show();
    if (appeared_)
        return;
    appeared_ = true;
    controller_.start();
    if (!controller_.screenPermission() || !controller_.inputPermission())
        openSettings_();
}

void MenuBarLabel::refresh()
{
    connected_ = controller_.viewerCount() >= 1;
    setIcon(connected_ ? busyIcon() : idleIcon());
}
