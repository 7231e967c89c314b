// The tray menu, the settings window and the PIN sheet under Xvfb, with trayer as the system
// tray, in the language the run was started in (ctest runs this once per language). Saves
// pictures of the window and the menu under $VELQUIN_UI_SHOTS for a person to look at.

#include "App/HostApp.h"
#include "App/MenuBarLabel.h"
#include "App/MenuContent.h"
#include "App/PINSetupView.h"
#include "App/PermissionRow.h"
#include "App/QRCodeView.h"
#include "App/SettingsView.h"
#include "OrbelHost/HostL10n.h"
#include "support/HostFixture.h"
#include "support/TinyHttpServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QToolButton>

namespace {
// trayer as the desktop's system tray, for the whole run.
class Tray : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(QStringLiteral("trayer")).isEmpty())
            return;
        process_.start(QStringLiteral("trayer"), { "--edge", "top", "--align", "right", "--widthtype", "pixel",
                                                   "--width", "200", "--height", "32" });
        waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000);
    }
    void TearDown() override
    {
        process_.kill();
        process_.waitForFinished();
    }

private:
    QProcess process_;
};
const auto* tray = ::testing::AddGlobalTestEnvironment(new Tray);

void save(QWidget& widget, const QString& name)
{
    const QString folder = qEnvironmentVariable("VELQUIN_UI_SHOTS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    // A menu takes its size when it pops up; here it is taken now.
    widget.adjustSize();
    widget.grab().save(QDir(folder).filePath(QStringLiteral("%1-%2.png").arg(name, HostL10n::language())));
}

QStringList texts(const QMenu& menu)
{
    QStringList out;
    for (const QAction* action : menu.actions())
        if (action->isVisible())
            out << (action->isSeparator() ? QStringLiteral("—") : action->text());
    return out;
}
} // namespace

using AppShellTest = HostFixture;

TEST_F(AppShellTest, RunsInTheLanguageItWasStartedIn)
{
    const QString expected = qEnvironmentVariable("VELQUIN_EXPECT_LANGUAGE");
    if (!expected.isEmpty()) {
        EXPECT_EQ(HostL10n::language(), expected);
    }
    // In every language but the base one the menu's texts are the table's, not the keys.
    if (HostL10n::language() != QStringLiteral("zh-Hant")) {
        EXPECT_NE(HL(QStringLiteral("結束 Velquin 遠端桌面")), QStringLiteral("結束 Velquin 遠端桌面"));
    }
}

TEST_F(AppShellTest, MenuFollowsTheControllerAndTheTrayStartsTheHost)
{
    rig.settings->setValue(QStringLiteral("signalURL"), server.url().toString());
    rig.link();
    rig.permissions->input = false;
    // An update server that offers 9.0.
    TinyHttpServer updates;
    updates.answers[UpdateChecker::kFeedPath] = { 200, QJsonDocument(QJsonObject {
        { "version", "9.0" }, { "url", updates.url("/a.tar.gz") }, { "size", 10 }, { "sha256", QString(64, 'a') },
        { "sig", QString::fromLatin1(QByteArray(64, 's').toBase64()) } }).toJson() };
    rig.env.update.feedURL = QUrl(updates.url(UpdateChecker::kFeedPath));
    rig.env.update.currentVersion = QStringLiteral("1.0");
    rig.env.update.allowLoopbackHttp = true;
    auto& controller = rig.make();
    HostApp app(controller);
    ASSERT_TRUE(app.hasTray()) << "no system tray (trayer) on this display";
    app.start();
    EXPECT_TRUE(controller.started());
    // A permission is missing: the settings open by themselves.
    EXPECT_TRUE(app.settings()->isVisible());
    ASSERT_TRUE(waitFor([&] { return controller.signalOnline(); }));
    ASSERT_TRUE(waitFor([&] { return controller.updates().latestVersion() == "9.0"; }));
    const QString update = HLFormat("有新版本 %@，按此更新", { "9.0" });
    EXPECT_TRUE(app.settings()->parts().update->isVisible());
    EXPECT_EQ(app.settings()->parts().update->text(), HLFormat("更新到 %@", { "9.0" }));
    save(*app.settings(), QStringLiteral("settings-update"));

    MenuContent& menu = *app.menu();
    EXPECT_EQ(texts(menu), (QStringList { controller.signalStatus(), HL("暫停遠端（不接受連線）"), update, "—", HL("設定…"),
                                          HL("結束 Velquin 遠端桌面") }));
    EXPECT_FALSE(menu.statusAction()->isEnabled());
    EXPECT_FALSE(app.tray()->connectedIcon());
    // The icons come from the app's own resources: a blank tray icon is easy to miss.
    for (const QIcon& icon : std::initializer_list<QIcon> { app.tray()->icon(), MenuBarLabel::busyIcon(), QApplication::windowIcon() })
        EXPECT_FALSE(icon.pixmap(22, 22).isNull()) << "an icon did not load";
    save(menu, QStringLiteral("menu-idle"));

    join("v1");
    ASSERT_TRUE(waitFor([&] { return controller.viewerCount() == 1; }));
    EXPECT_EQ(texts(menu), (QStringList { HLFormat("正在遠端：%ld 支手機", { 1 }), HL("中斷所有連線"),
                                          HL("暫停遠端（不接受連線）"), update, "—", HL("設定…"), HL("結束 Velquin 遠端桌面") }));
    EXPECT_TRUE(app.tray()->connectedIcon());
    save(menu, QStringLiteral("menu-connected"));

    menu.disconnectAction()->trigger();
    EXPECT_EQ(controller.viewerCount(), 0);
    EXPECT_FALSE(menu.disconnectAction()->isVisible());
    menu.pauseAction()->trigger();
    EXPECT_TRUE(controller.paused());
    EXPECT_TRUE(menu.pauseAction()->isChecked());
    app.settings()->hide();
    menu.settingsAction()->trigger();
    EXPECT_TRUE(app.settings()->isVisible());
}

TEST_F(AppShellTest, SettingsWindowShowsEachAccountStateAndItsSwitchesActOnTheController)
{
    auto& controller = rig.make();
    SettingsView view(controller);
    view.show();
    const auto& p = view.parts();
    EXPECT_EQ(view.width(), SettingsView::kWidth);
    EXPECT_EQ(view.windowTitle(), HL("Velquin 遠端桌面"));

    // Not linked.
    EXPECT_TRUE(p.unlinked->isVisible());
    EXPECT_FALSE(p.linking->isVisible());
    EXPECT_FALSE(p.linked->isVisible());
    EXPECT_EQ(p.viewing->text(), HLFormat("檢視中 %ld", { 0 }));
    EXPECT_TRUE(p.screen->granted());
    EXPECT_FALSE(p.screen->requestButton()->isVisible());
    save(view, QStringLiteral("settings-unlinked"));

    // Linking: the QR code of "nimbralink:" and the token.
    controller.startLinking();
    ASSERT_TRUE(waitFor([&] { return p.linking->isVisible(); }));
    EXPECT_EQ(p.qr->text(), QStringLiteral("nimbralink:link-token"));
    EXPECT_FALSE(p.qr->image().isNull());
    EXPECT_EQ(p.qr->size(), QSize(150, 150));
    EXPECT_EQ(p.linkMessage->text(), controller.linkMessage());
    save(view, QStringLiteral("settings-linking"));
    controller.cancelLinking();
    EXPECT_TRUE(p.unlinked->isVisible());

    // Switches call the controller and show its state.
    p.keepAwake->click();
    EXPECT_TRUE(controller.keepAwake());
    EXPECT_TRUE(rig.power->held);
    EXPECT_EQ(p.keepAwakeNote->text().left(4), HL("已開啟：這個軟體開著時，電腦不會自動關螢幕或上鎖。好處是隨時都能遠端；但任何人走到電腦前都能直接使用，請確認電腦放在安全的地方。").left(4));
    rig.power->grants = false;
    p.keepAwake->click();
    p.keepAwake->click();
    EXPECT_FALSE(p.keepAwake->isChecked()) << "a refused hold shows as off";
    p.launchAtLogin->click();
    EXPECT_EQ(controller.launchAtLogin(), rig.loginItem->enabled);
    EXPECT_TRUE(controller.launchAtLogin());
    p.paused->click();
    EXPECT_TRUE(controller.paused());

    // The signaling server: kept and used at the reconnect.
    p.advanced->click();
    EXPECT_TRUE(p.signalURL->isVisible());
    p.signalURL->setText(QStringLiteral("ws://127.0.0.1:9/ws"));
    p.reconnect->click();
    EXPECT_EQ(controller.signalURL(), QStringLiteral("ws://127.0.0.1:9/ws"));
    EXPECT_EQ(rig.settings->value("signalURL").toString(), QStringLiteral("ws://127.0.0.1:9/ws"));
    save(view, QStringLiteral("settings-switches"));
}

TEST_F(AppShellTest, PermissionsSayWhatThisDesktopNeeds)
{
    // GNOME's Wayland session: one text for both, naming what to do.
    rig.permissions->kind = PermissionProbe::Desktop::GnomeWayland;
    rig.permissions->screen = false;
    rig.permissions->input = false;
    auto& controller = rig.make();
    SettingsView view(controller);
    view.show();
    const auto& p = view.parts();
    const QString gnome = HL("GNOME 的遠端桌面服務沒有開放（或拒絕了連線）：請在 GNOME 工作階段裡開啟這個軟體。");
    EXPECT_EQ(p.screen->detail(), gnome);
    EXPECT_EQ(p.input->detail(), gnome);
    EXPECT_FALSE(p.permissionNote->isVisible());
    save(view, QStringLiteral("settings-gnome-wayland-missing"));

    // Another Wayland compositor: granted through XWayland, and the window says what that means.
    rig.permissions->kind = PermissionProbe::Desktop::OtherWayland;
    rig.permissions->screen = true;
    rig.permissions->input = true;
    controller.checkPermissions();
    EXPECT_TRUE(p.screen->granted());
    EXPECT_TRUE(p.permissionNote->isVisible());
    EXPECT_EQ(p.permissionNote->text(),
              HL("這個 Wayland 桌面只能分享和控制 X11 視窗。要無人值守地遠端整個桌面，請改用 GNOME 或 X11 工作階段。"));
    save(view, QStringLiteral("settings-other-wayland"));

    // Through the desktop portal: what the user at the computer has to do, every time.
    rig.permissions->kind = PermissionProbe::Desktop::PortalWayland;
    rig.permissions->screen = false;
    controller.checkPermissions();
    EXPECT_EQ(p.screen->detail(), HL("電腦前的人沒有同意分享（或這個桌面沒有提供遠端桌面服務）：手機再連線時，請在電腦上按「分享」。"));
    EXPECT_EQ(p.permissionNote->text(),
              HL("在這個 Wayland 桌面上，每次有手機連線，都要有人在電腦前同意分享螢幕。要無人值守地遠端，請改用 GNOME 或 X11 工作階段。"));
    save(view, QStringLiteral("settings-portal-refused"));
}

TEST_F(AppShellTest, PinSheetValidatesAndOnlyASavedPinTurnsThePinOn)
{
    EXPECT_EQ(PINSetupView::error("", ""), QString());
    EXPECT_EQ(PINSetupView::error("12a", ""), HL("只能用數字"));
    EXPECT_EQ(PINSetupView::error("123", ""), HLFormat("請設定 %ld～%ld 位數字", { 4, 8 }));
    EXPECT_EQ(PINSetupView::error("123456789", "123456789"), HLFormat("請設定 %ld～%ld 位數字", { 4, 8 }));
    EXPECT_EQ(PINSetupView::error("1234", ""), QString());
    EXPECT_EQ(PINSetupView::error("1234", "1243"), HL("兩次輸入不一樣"));
    EXPECT_EQ(PINSetupView::error("1234", "1234"), QString());

    auto& controller = rig.make();
    SettingsView view(controller);
    view.show();
    const auto& p = view.parts();
    EXPECT_FALSE(p.changePin->isVisible());

    // Switched on, then cancelled: still off.
    p.pin->click();
    EXPECT_TRUE(view.editingPIN());
    EXPECT_FALSE(p.pin->isChecked());
    auto* sheet = view.findChild<PINSetupView*>();
    ASSERT_TRUE(sheet);
    sheet->reject();
    EXPECT_FALSE(view.editingPIN());
    EXPECT_FALSE(controller.pinEnabled());

    // Switched on and saved: on, once the keychain has it.
    p.pin->click();
    drainEvents();
    sheet = view.findChild<PINSetupView*>();
    ASSERT_TRUE(sheet);
    sheet->firstField()->setText("2468");
    EXPECT_FALSE(sheet->saveButton()->isEnabled());
    sheet->secondField()->setText("2467");
    EXPECT_FALSE(sheet->saveButton()->isEnabled());
    EXPECT_EQ(sheet->errorLabel()->text(), HL("兩次輸入不一樣"));
    sheet->secondField()->setText("2468");
    EXPECT_TRUE(sheet->saveButton()->isEnabled());
    save(*sheet, QStringLiteral("pin-sheet"));
    sheet->saveButton()->click();
    ASSERT_TRUE(waitFor([&] { return controller.pinEnabled(); }));
    EXPECT_TRUE(p.pin->isChecked());
    EXPECT_TRUE(p.changePin->isVisible());
    EXPECT_EQ(controller.pin().verify("2468").kind, AccessPIN::Result::Kind::Ok);
    save(view, QStringLiteral("settings-pin"));

    // Switched off: the PIN is gone.
    p.pin->click();
    ASSERT_TRUE(waitFor([&] { return !controller.pinEnabled(); }));
    EXPECT_FALSE(p.pin->isChecked());
}
