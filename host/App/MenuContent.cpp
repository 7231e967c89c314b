#include "App/MenuContent.h"

#include "OrbelHost/HostController.h"
#include "OrbelHost/HostL10n.h"

#include <QApplication>

MenuContent::MenuContent(HostController& controller, std::function<void()> openSettings, QWidget* parent)
    : QMenu(parent)
    , controller_(controller)
{
    status_ = addAction(QString());
    status_->setEnabled(false);
    disconnect_ = addAction(HL(QStringLiteral("中斷所有連線")));
    connect(disconnect_, &QAction::triggered, &controller_, &HostController::disconnectAll);
    pause_ = addAction(HL(QStringLiteral("暫停遠端（不接受連線）")));
    pause_->setCheckable(true);
    connect(pause_, &QAction::triggered, &controller_, &HostController::setPaused);
    update_ = addAction(QString());
    connect(update_, &QAction::triggered, &controller_.updates(), &UpdateChecker::promptAndUpdate);
    addSeparator();
    settings_ = addAction(HL(QStringLiteral("設定…")));
    connect(settings_, &QAction::triggered, this, [openSettings = std::move(openSettings)] { openSettings(); });
    quit_ = addAction(HL(QStringLiteral("結束 Velquin 遠端桌面")));
    connect(quit_, &QAction::triggered, qApp, &QCoreApplication::quit);

    for (auto changed : { &HostController::signalStatusChanged, &HostController::viewerCountChanged, &HostController::pausedChanged })
        connect(&controller_, changed, this, &MenuContent::refresh);
    for (auto changed : { &UpdateChecker::latestVersionChanged, &UpdateChecker::updatingChanged, &UpdateChecker::progressChanged })
        connect(&controller_.updates(), changed, this, &MenuContent::refresh);
    refresh();
}

void MenuContent::refresh()
{
    const int viewers = controller_.viewerCount();
    status_->setText(viewers <= 0 ? controller_.signalStatus() : HLFormat(QStringLiteral("正在遠端：%ld 支手機"), { viewers }));
    disconnect_->setVisible(viewers >= 1);
    pause_->setChecked(controller_.paused());
    const QString latest = controller_.updates().latestVersion();
    const UpdateChecker& updates = controller_.updates();
    // While it downloads, the item says how far it has got.
    update_->setText(HLFormat(QStringLiteral("有新版本 %@，按此更新"), { latest })
                     + (updates.updating() ? QStringLiteral(" — %1%").arg(updates.progress()) : QString()));
    update_->setEnabled(!updates.updating());
    update_->setVisible(!latest.isEmpty());
}
