#include "App/SettingsView.h"

#include "App/PINSetupView.h"
#include "App/PermissionRow.h"
#include "App/QRCodeView.h"
#include "OrbelHost/AccessPIN.h"
#include "OrbelHost/HostController.h"
#include "OrbelHost/HostL10n.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace {
QLabel* note(const QString& text = {})
{
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    // Texts that come from servers are shown as they are, never as markup.
    label->setTextFormat(Qt::PlainText);
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    label->setFont(small);
    return label;
}

QPushButton* linkButton(const QString& text)
{
    auto* button = new QPushButton(text);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { color: palette(link); text-align: left; padding: 0; }"));
    return button;
}

QWidget* box(QLayout* layout)
{
    auto* widget = new QWidget;
    layout->setContentsMargins(0, 0, 0, 0);
    widget->setLayout(layout);
    return widget;
}
} // namespace

SettingsView::SettingsView(HostController& controller, QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
{
    setWindowTitle(HL(QStringLiteral("Velquin 遠端桌面")));
    setFixedWidth(kWidth);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(header());
    layout->addWidget(account());
    layout->addWidget(permissions());
    layout->addWidget(accessPIN());
    layout->addWidget(other());
    auto* versionLine = new QHBoxLayout;
    parts_.version = new QLabel(HLFormat(QStringLiteral("版本 %@"), { QStringLiteral(VELQUIN_VERSION) }));
    parts_.update = linkButton(QString());
    connect(parts_.update, &QPushButton::clicked, &controller_.updates(), &UpdateChecker::promptAndUpdate);
    parts_.progress = new QProgressBar;
    parts_.progress->setRange(0, 100);
    parts_.progress->setMaximumWidth(140);
    versionLine->addWidget(parts_.version);
    versionLine->addWidget(parts_.update);
    versionLine->addWidget(parts_.progress);
    versionLine->addStretch();
    layout->addWidget(box(versionLine));
    layout->addWidget(advanced());
    layout->addStretch();

    for (auto changed : { &HostController::signalStatusChanged, &HostController::signalOnlineChanged,
                          &HostController::viewerCountChanged, &HostController::linkTokenChanged,
                          &HostController::linkMessageChanged, &HostController::accountHostIdChanged,
                          &HostController::accountServerReadyChanged, &HostController::screenPermissionChanged,
                          &HostController::inputPermissionChanged, &HostController::pinEnabledChanged,
                          &HostController::launchAtLoginChanged, &HostController::pausedChanged,
                          &HostController::keepAwakeChanged, &HostController::signalURLChanged })
        connect(&controller_, changed, this, &SettingsView::refresh);
    connect(&controller_.updates(), &UpdateChecker::latestVersionChanged, this, &SettingsView::refresh);
    connect(&controller_.updates(), &UpdateChecker::updatingChanged, this, &SettingsView::refresh);
    // Each percent of a download moves the bar only; nothing else needs laying out again.
    connect(&controller_.updates(), &UpdateChecker::progressChanged, this,
            [this] { parts_.progress->setValue(controller_.updates().progress()); });
    refresh();
}

QGroupBox* SettingsView::header()
{
    auto* group = new QGroupBox;
    auto* row = new QHBoxLayout(group);
    parts_.dot = new QLabel;
    parts_.dot->setFixedSize(10, 10);
    parts_.status = new QLabel;
    parts_.status->setTextFormat(Qt::PlainText);
    parts_.status->setWordWrap(true);
    // A width of its own, so a long status wraps to as many lines as it needs.
    parts_.status->setFixedWidth(kWidth - 160);
    QFont headline = parts_.status->font();
    headline.setBold(true);
    parts_.status->setFont(headline);
    parts_.viewing = new QLabel;
    row->addWidget(parts_.dot);
    row->addWidget(parts_.status);
    row->addStretch();
    row->addWidget(parts_.viewing);
    return group;
}

QGroupBox* SettingsView::account()
{
    auto* group = new QGroupBox(HL(QStringLiteral("Velquin 帳號")));
    auto* layout = new QVBoxLayout(group);

    // Linking: the QR code beside what to do with it.
    auto* linking = new QHBoxLayout;
    parts_.qr = new QRCodeView;
    parts_.qr->setFixedSize(150, 150);
    auto* steps = new QVBoxLayout;
    parts_.linkMessage = note();
    steps->addWidget(parts_.linkMessage);
    steps->addWidget(note(HL(QStringLiteral("打開手機的 Velquin → 掃描 QR Code，核准後這台電腦就會出現在你的電腦清單。"))));
    auto* cancel = new QPushButton(HL(QStringLiteral("取消")));
    connect(cancel, &QPushButton::clicked, &controller_, &HostController::cancelLinking);
    steps->addWidget(cancel, 0, Qt::AlignLeft);
    steps->addStretch();
    linking->addWidget(parts_.qr);
    linking->addLayout(steps, 1);
    parts_.linking = box(linking);

    auto* unlinked = new QVBoxLayout;
    unlinked->addWidget(note(HL(QStringLiteral("綁定後，用 Velquin 帳號就能連，不用配對密碼"))));
    auto* link = new QPushButton(HL(QStringLiteral("綁定帳號")));
    connect(link, &QPushButton::clicked, &controller_, &HostController::startLinking);
    unlinked->addWidget(link, 0, Qt::AlignLeft);
    parts_.unlinkedMessage = note();
    unlinked->addWidget(parts_.unlinkedMessage);
    parts_.unlinked = box(unlinked);

    auto* linked = new QHBoxLayout;
    auto* check = new QLabel(QStringLiteral("✔"));
    check->setStyleSheet(QStringLiteral("color: #2e9d4a;"));
    linked->addWidget(check);
    linked->addWidget(note(HL(QStringLiteral("已綁定，手機的 Velquin 可以直接連這台電腦"))), 1);
    auto* unlink = new QPushButton(HL(QStringLiteral("解除綁定")));
    connect(unlink, &QPushButton::clicked, &controller_, &HostController::unlink);
    linked->addWidget(unlink);
    parts_.linked = box(linked);

    parts_.serverNote = note(HL(QStringLiteral("伺服器還沒開放帳號連線，暫時用下面的配對密碼")));
    for (QWidget* part : { parts_.linking, parts_.unlinked, parts_.linked, static_cast<QWidget*>(parts_.serverNote) })
        layout->addWidget(part);
    return group;
}

QGroupBox* SettingsView::permissions()
{
    auto* group = new QGroupBox(HL(QStringLiteral("權限")));
    auto* layout = new QVBoxLayout(group);
    // On X11 there is nothing to grant: asking again just looks once more.
    parts_.screen = new PermissionRow(HL(QStringLiteral("螢幕錄製（傳送畫面）")), [this] { controller_.checkPermissions(); });
    parts_.input = new PermissionRow(HL(QStringLiteral("輔助使用（控制滑鼠鍵盤）")), [this] { controller_.requestInputPermission(); });
    layout->addWidget(parts_.screen);
    layout->addWidget(parts_.input);
    parts_.permissionNote = note();
    layout->addWidget(parts_.permissionNote);
    return group;
}

QGroupBox* SettingsView::accessPIN()
{
    auto* group = new QGroupBox(HL(QStringLiteral("訪問密碼")));
    auto* layout = new QVBoxLayout(group);
    parts_.pin = new QCheckBox(HL(QStringLiteral("手機每次連線都要輸入訪問密碼")));
    // The box shows what is stored; clicking asks for a PIN or removes it.
    connect(parts_.pin, &QCheckBox::clicked, this, [this](bool on) {
        parts_.pin->setChecked(controller_.pinEnabled());
        if (on)
            editPIN();
        else
            controller_.clearAccessPIN();
    });
    parts_.changePin = linkButton(HL(QStringLiteral("變更訪問密碼")));
    connect(parts_.changePin, &QPushButton::clicked, this, &SettingsView::editPIN);
    layout->addWidget(parts_.pin);
    layout->addWidget(parts_.changePin);
    layout->addWidget(note(HLFormat(QStringLiteral("密碼只在手機和這台電腦之間比對，伺服器看不到。連續輸錯 %ld 次會鎖 5 分鐘。"),
                                    { AccessPIN::kFailureLimit })));
    return group;
}

void SettingsView::refreshPermissions()
{
    // On Wayland one remote-desktop session grants both, so one text says what is missing.
    QString missing;
    QString note;
    switch (controller_.permissionDesktop()) {
    case PermissionProbe::Desktop::GnomeWayland:
        missing = HL(QStringLiteral("GNOME 的遠端桌面服務沒有開放（或拒絕了連線）：請在 GNOME 工作階段裡開啟這個軟體。"));
        break;
    case PermissionProbe::Desktop::PortalWayland:
        missing = HL(QStringLiteral("電腦前的人沒有同意分享（或這個桌面沒有提供遠端桌面服務）：手機再連線時，請在電腦上按「分享」。"));
        note = HL(QStringLiteral("在這個 Wayland 桌面上，每次有手機連線，都要有人在電腦前同意分享螢幕。要無人值守地遠端，請改用 GNOME 或 X11 工作階段。"));
        break;
    case PermissionProbe::Desktop::OtherWayland:
        note = HL(QStringLiteral("這個 Wayland 桌面只能分享和控制 X11 視窗。要無人值守地遠端整個桌面，請改用 GNOME 或 X11 工作階段。"));
        break;
    case PermissionProbe::Desktop::X11:
        break;
    }
    parts_.screen->setGranted(controller_.screenPermission(),
                              missing.isEmpty() ? HL(QStringLiteral("找不到 X 顯示器：請在桌面工作階段裡開啟這個軟體。")) : missing);
    parts_.input->setGranted(controller_.inputPermission(),
                             missing.isEmpty() ? HL(QStringLiteral("X 伺服器沒有 XTest 擴充功能，無法控制滑鼠鍵盤：請用有 XTest 的 X 伺服器（一般桌面都有）。"))
                                               : missing);
    parts_.permissionNote->setText(note);
    parts_.permissionNote->setVisible(!note.isEmpty());
}

void SettingsView::editPIN()
{
    if (editingPIN_)
        return;
    editingPIN_ = true;
    auto* sheet = new PINSetupView([this](const QString& pin) { controller_.setAccessPIN(pin); }, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    connect(sheet, &QDialog::finished, this, [this] { editingPIN_ = false; });
    sheet->open();
}

QGroupBox* SettingsView::other()
{
    auto* group = new QGroupBox(HL(QStringLiteral("其他")));
    auto* layout = new QVBoxLayout(group);
    parts_.launchAtLogin = new QCheckBox(HL(QStringLiteral("開機時自動啟動")));
    parts_.paused = new QCheckBox(HL(QStringLiteral("暫停遠端（不接受連線）")));
    parts_.keepAwake = new QCheckBox(HL(QStringLiteral("保持螢幕開著、不自動上鎖")));
    // Each box then shows what the controller holds, also when a change did not take.
    const auto bind = [this](QCheckBox* box, void (HostController::*set)(bool)) {
        connect(box, &QCheckBox::clicked, this, [this, set](bool on) {
            (controller_.*set)(on);
            refresh();
        });
    };
    bind(parts_.launchAtLogin, &HostController::setLaunchAtLogin);
    bind(parts_.paused, &HostController::setPaused);
    bind(parts_.keepAwake, &HostController::setKeepAwake);
    parts_.keepAwakeNote = note();
    for (QWidget* part : { static_cast<QWidget*>(parts_.launchAtLogin), static_cast<QWidget*>(parts_.paused),
                           static_cast<QWidget*>(parts_.keepAwake), static_cast<QWidget*>(parts_.keepAwakeNote) })
        layout->addWidget(part);
    return group;
}

QWidget* SettingsView::advanced()
{
    auto* layout = new QVBoxLayout;
    parts_.advanced = new QToolButton;
    parts_.advanced->setText(HL(QStringLiteral("進階")));
    parts_.advanced->setCheckable(true);
    parts_.advanced->setArrowType(Qt::RightArrow);
    parts_.advanced->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    parts_.advanced->setAutoRaise(true);
    auto* fields = new QVBoxLayout;
    fields->addWidget(new QLabel(HL(QStringLiteral("信令伺服器"))));
    auto* row = new QHBoxLayout;
    parts_.signalURL = new QLineEdit;
    parts_.reconnect = new QPushButton(HL(QStringLiteral("重新連線")));
    row->addWidget(parts_.signalURL, 1);
    row->addWidget(parts_.reconnect);
    fields->addLayout(row);
    QWidget* body = box(fields);
    body->setVisible(false);
    connect(parts_.advanced, &QToolButton::toggled, this, [this, body](bool open) {
        parts_.advanced->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        body->setVisible(open);
        fitHeight();
    });
    const auto apply = [this] {
        controller_.setSignalURL(parts_.signalURL->text());
        controller_.reconnect();
    };
    connect(parts_.signalURL, &QLineEdit::returnPressed, this, apply);
    connect(parts_.reconnect, &QPushButton::clicked, this, apply);
    layout->addWidget(parts_.advanced, 0, Qt::AlignLeft);
    layout->addWidget(body);
    return box(layout);
}

void SettingsView::refresh()
{
    const int viewers = controller_.viewerCount();
    parts_.dot->setStyleSheet(QStringLiteral("border-radius: 5px; background: %1;")
                                  .arg(controller_.signalOnline() ? QStringLiteral("#2e9d4a") : QStringLiteral("#e67e22")));
    parts_.status->setText(viewers < 1 ? controller_.signalStatus()
                                       : HLFormat(QStringLiteral("正在遠端：%ld 支手機"), { viewers }));
    parts_.status->setMinimumHeight(parts_.status->heightForWidth(parts_.status->width()));
    parts_.viewing->setText(HLFormat(QStringLiteral("檢視中 %ld"), { viewers }));

    const bool linking = !controller_.linkToken().isEmpty();
    const bool linked = !linking && !controller_.accountHostId().isNull();
    parts_.linking->setVisible(linking);
    parts_.unlinked->setVisible(!linking && !linked);
    parts_.linked->setVisible(linked);
    parts_.qr->setText(linking ? QStringLiteral("nimbralink:") + controller_.linkToken() : QString());
    parts_.linkMessage->setText(controller_.linkMessage());
    parts_.unlinkedMessage->setText(controller_.linkMessage());
    parts_.unlinkedMessage->setVisible(!controller_.linkMessage().isEmpty());
    parts_.serverNote->setVisible(!controller_.accountServerReady());

    refreshPermissions();

    parts_.pin->setChecked(controller_.pinEnabled());
    parts_.changePin->setVisible(controller_.pinEnabled());
    parts_.launchAtLogin->setChecked(controller_.launchAtLogin());
    parts_.paused->setChecked(controller_.paused());
    parts_.keepAwake->setChecked(controller_.keepAwake());
    parts_.keepAwakeNote->setText(
        controller_.keepAwake()
            ? HL(QStringLiteral("已開啟：這個軟體開著時，電腦不會自動關螢幕或上鎖。好處是隨時都能遠端；但任何人走到電腦前都能直接使用，請確認電腦放在安全的地方。"))
            : HL(QStringLiteral("電腦鎖定（或螢幕關閉後上鎖）時無法遠端。出門前想隨時連回來，可以打開這個選項。")));
    const QString latest = controller_.updates().latestVersion();
    parts_.update->setText(HLFormat(QStringLiteral("更新到 %@"), { latest }));
    parts_.update->setVisible(!latest.isEmpty());
    parts_.update->setEnabled(!controller_.updates().updating());
    parts_.progress->setVisible(controller_.updates().updating());
    parts_.progress->setValue(controller_.updates().progress());
    if (!parts_.signalURL->hasFocus())
        parts_.signalURL->setText(controller_.signalURL());
    fitHeight();
}

void SettingsView::fitHeight()
{
    // Fixed width, and exactly as tall as the wrapped texts need at that width.
    layout()->activate();
    setFixedHeight(layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(kWidth) : sizeHint().height());
}
