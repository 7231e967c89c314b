#pragma once
// The tray menu: status, Disconnect All while phones are connected, Pause, the update while a
// newer version is known, Settings…, Quit.
// Rebuilt from the controller whenever what it shows changes.

#include <QMenu>

#include <functional>

class HostController;

class MenuContent : public QMenu {
public:
    MenuContent(HostController& controller, std::function<void()> openSettings, QWidget* parent = nullptr);

    QAction* statusAction() const { return status_; }
    QAction* disconnectAction() const { return disconnect_; }
    QAction* pauseAction() const { return pause_; }
    QAction* updateAction() const { return update_; }
    QAction* settingsAction() const { return settings_; }
    QAction* quitAction() const { return quit_; }

private:
    void refresh();

    HostController& controller_;
    QAction* status_;
    QAction* disconnect_;
    QAction* pause_;
    QAction* update_;
    QAction* settings_;
    QAction* quit_;
};
