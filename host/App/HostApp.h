#pragma once
// The application as the user sees it: the tray icon with its menu and the settings window.
// Without a system tray the settings window is the app's main window: it opens at start and
// closing it quits.

#include <QObject>

#include <memory>

class HostController;
class MenuBarLabel;
class MenuContent;
class SettingsView;

class HostApp : public QObject {
public:
    explicit HostApp(HostController& controller, QObject* parent = nullptr);
    ~HostApp() override;

    // Shows the tray icon (or the window) and starts the host.
    void start();
    // Opens the settings window and brings it to the front.
    void openSettings();

    bool hasTray() const { return tray_ != nullptr; }
    MenuBarLabel* tray() const { return tray_.get(); }
    MenuContent* menu() const { return menu_.get(); }
    SettingsView* settings() const { return settings_.get(); }

private:
    HostController& controller_;
    std::unique_ptr<SettingsView> settings_;
    std::unique_ptr<MenuContent> menu_;
    std::unique_ptr<MenuBarLabel> tray_;
};
