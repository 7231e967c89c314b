#pragma once
// The tray icon: a screen while waiting, a screen with a person while phones are connected.
// Its first showing starts the host, and opens the settings while a permission is missing.

#include <QSystemTrayIcon>

#include <functional>

class HostController;

class MenuBarLabel : public QSystemTrayIcon {
public:
    MenuBarLabel(HostController& controller, std::function<void()> openSettings, QObject* parent = nullptr);

    // Shows the icon and starts the host (once).
    void appear();
    bool connectedIcon() const { return connected_; }

    static QIcon idleIcon();
    static QIcon busyIcon();

private:
    void refresh();

    HostController& controller_;
    std::function<void()> openSettings_;
    bool connected_ = false;
    bool appeared_ = false;
};
