#pragma once
// The settings window's content: status, the account and its QR code, permissions, the access
// PIN, the switches, the version and the signaling server. Everything shown is read from the
// controller and redrawn when it changes; every action goes to the controller.

#include <QWidget>

class HostController;
class PermissionProbe;
class PermissionRow;
class QRCodeView;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QToolButton;

class SettingsView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 460;

    explicit SettingsView(HostController& controller, QWidget* parent = nullptr);

    // The PIN sheet is open (switching the PIN on or changing it).
    bool editingPIN() const { return editingPIN_; }
    // Opens the PIN sheet; the PIN is stored only if the sheet is saved.
    void editPIN();

    // The parts tests look at.
    struct Parts {
        QLabel* dot;
        QLabel* status;
        QLabel* viewing;
        QWidget* linking;
        QRCodeView* qr;
        QLabel* linkMessage;
        QWidget* unlinked;
        QLabel* unlinkedMessage;
        QWidget* linked;
        QLabel* serverNote;
        PermissionRow* screen;
        PermissionRow* input;
        QCheckBox* pin;
        QPushButton* changePin;
        QCheckBox* launchAtLogin;
        QCheckBox* paused;
        QCheckBox* keepAwake;
        QLabel* keepAwakeNote;
        QLabel* permissionNote; // shown on a desktop that cannot be shared whole
        QLabel* version;
        QPushButton* update;
        QProgressBar* progress; // the download, while updating
        QToolButton* advanced;
        QLineEdit* signalURL;
        QPushButton* reconnect;
    };
    const Parts& parts() const { return parts_; }

private:
    QGroupBox* header();
    QGroupBox* account();
    QGroupBox* permissions();
    QGroupBox* accessPIN();
    QGroupBox* other();
    QWidget* advanced();
    void refresh();
    void refreshPermissions();
    void fitHeight();

    HostController& controller_;
    Parts parts_ {};
    bool editingPIN_ = false;
};
