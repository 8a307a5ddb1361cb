// The settings, exit-choice and shutdown dialogs and the tray icon, driven as a user would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTest>

#include "app/window/ExitChoiceDialog.h"
#include "app/window/SettingsDialog.h"
#include "app/window/ShutdownDialog.h"
#include "app/window/TrayIcon.h"

namespace kf::app::window {
namespace {

template <typename T>
T* Child(QObject& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

// Clicks a check box or radio button on its indicator: a layout may stretch the widget well beyond
// its text, and only the indicator and the text take clicks.
void Tick(QAbstractButton* box) {
    ASSERT_NE(box, nullptr);
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(6, box->height() / 2));
}

// The visible warning box, if one is open.
QMessageBox* OpenWarning() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

TEST(SettingsDialogTest, TypedLimitsAreCheckedAgainstTheRange) {
    const struct {
        const char* typed;
        bool accepted;
    } cases[] = {{"9", false},    {"30001", false}, {"0", false},    {"10", true},
                 {"30000", true}, {"200", true},    {"99999", false}};
    for (const auto& c : cases) {
        SettingsDialog dialog(0, false, false);
        QSignalSpy accepted(&dialog, &QDialog::accepted);
        dialog.open();
        Tick(Child<QCheckBox>(dialog, "limit_on"));
        auto* limit = Child<QSpinBox>(dialog, "limit");
        limit->selectAll();
        QTest::keyClicks(limit, QString::fromLatin1(c.typed));
        QTest::mouseClick(Child<QPushButton>(dialog, "set"), Qt::LeftButton);

        QMessageBox* warning = OpenWarning();
        EXPECT_EQ(warning != nullptr, !c.accepted) << c.typed;
        EXPECT_EQ(accepted.count(), c.accepted ? 1 : 0) << c.typed;
        EXPECT_EQ(dialog.isVisible(), !c.accepted) << c.typed;
        if (c.accepted) {
            EXPECT_EQ(dialog.SpeedLimit(), std::atoi(c.typed));
        } else if (warning != nullptr) {
            EXPECT_EQ(warning->windowTitle(), QStringLiteral("警告"));
            EXPECT_EQ(warning->text(), QStringLiteral("您设置的速度不在允许范围内[10KB/s - "
                                                      "30000KB/s]，请重新设置限速！"));
            warning->close();
            EXPECT_EQ(dialog.SpeedLimit(), 0);  // nothing taken from a refused value
        }
    }
}

TEST(SettingsDialogTest, SwitchingTheLimitShowsNoneOrProposes200) {
    SettingsDialog dialog(150, true, true);
    auto* limit_on = Child<QCheckBox>(dialog, "limit_on");
    auto* limit = Child<QSpinBox>(dialog, "limit");
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("下载设置"));
    EXPECT_TRUE(limit_on->isChecked());
    EXPECT_TRUE(limit->isEnabled());
    EXPECT_EQ(limit->text(), QStringLiteral("150"));
    EXPECT_TRUE(Child<QCheckBox>(dialog, "shutdown")->isChecked());
    EXPECT_TRUE(Child<QCheckBox>(dialog, "p2p")->isHidden());

    limit_on->setChecked(false);
    EXPECT_FALSE(limit->isEnabled());
    EXPECT_EQ(limit->text(), QStringLiteral("无限制"));
    limit_on->setChecked(true);
    EXPECT_TRUE(limit->isEnabled());
    EXPECT_EQ(limit->text(), QStringLiteral("200"));
    // The arrows stay within the range even where typing may not.
    limit->setValue(30000);
    limit->stepUp();
    EXPECT_EQ(limit->value(), 30000);
    limit->setValue(10);
    limit->stepDown();
    EXPECT_EQ(limit->value(), 10);

    limit_on->setChecked(false);
    dialog.open();
    QTest::mouseClick(Child<QPushButton>(dialog, "set"), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.SpeedLimit(), 0);
    EXPECT_TRUE(dialog.AutoShutdown());
    EXPECT_TRUE(dialog.P2P());
}

TEST(ExitChoiceDialogTest, ChoiceRememberAndDismissal) {
    ExitChoiceDialog dialog;
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("关闭"));
    dialog.open();
    EXPECT_EQ(dialog.Choice(), ExitChoiceDialog::kToTray);
    EXPECT_FALSE(dialog.Remember());

    Tick(Child<QRadioButton>(dialog, "exit"));
    Tick(Child<QCheckBox>(dialog, "remember"));
    QTest::mouseClick(Child<QPushButton>(dialog, "ok"), Qt::LeftButton);
    EXPECT_EQ(accepted.count(), 1);
    EXPECT_EQ(dialog.Choice(), ExitChoiceDialog::kExit);
    EXPECT_TRUE(dialog.Remember());

    // Shown again it proposes the tray; closed by the window manager it is dismissed.
    dialog.open();
    EXPECT_EQ(dialog.Choice(), ExitChoiceDialog::kToTray);
    dialog.close();
    EXPECT_EQ(rejected.count(), 1);
    EXPECT_EQ(accepted.count(), 1);
}

TEST(ShutdownDialogTest, CountsDownAndCancels) {
    ShutdownDialog dialog;
    QSignalSpy cancelled(&dialog, &ShutdownDialog::cancelRequested);
    auto* countdown = Child<QLabel>(dialog, "countdown");
    const struct {
        int seconds;
        const char* shown;
    } cases[] = {{60, "60"}, {7, "7"}, {0, "0"}, {-4, "0"}};
    for (const auto& c : cases) {
        dialog.SetSecondsLeft(c.seconds);
        EXPECT_TRUE(countdown->text().startsWith(QString::fromLatin1(c.shown) + ' '))
            << countdown->text().toStdString();
    }
    dialog.show();
    dialog.close();  // closing the notice is not a cancel
    EXPECT_EQ(cancelled.count(), 0);
    dialog.show();
    QTest::mouseClick(Child<QPushButton>(dialog, "cancel"), Qt::LeftButton);
    EXPECT_EQ(cancelled.count(), 1);
    EXPECT_FALSE(dialog.isVisible());
}

TEST(TrayIconTest, ClicksRestoreAndTheMenuExits) {
    TrayIcon tray;
    QSignalSpy restore(&tray, &TrayIcon::restoreRequested);
    QSignalSpy exit(&tray, &TrayIcon::exitRequested);
    auto* icon = tray.findChild<QSystemTrayIcon*>();
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->toolTip(), QStringLiteral("Vormhal下载器"));
    EXPECT_FALSE(icon->icon().isNull());

    const struct {
        QSystemTrayIcon::ActivationReason reason;
        int restores;
    } cases[] = {{QSystemTrayIcon::Trigger, 1},
                 {QSystemTrayIcon::DoubleClick, 1},
                 {QSystemTrayIcon::Context, 0},
                 {QSystemTrayIcon::MiddleClick, 0}};
    for (const auto& c : cases) {
        restore.clear();
        emit icon->activated(c.reason);
        EXPECT_EQ(restore.count(), c.restores) << c.reason;
    }
    ASSERT_NE(icon->contextMenu(), nullptr);
    const QList<QAction*> entries = icon->contextMenu()->actions();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0]->text(), QStringLiteral("退出(&X)"));
    entries[0]->trigger();
    EXPECT_EQ(exit.count(), 1);
    EXPECT_EQ(restore.count(), 0);
}

}  // namespace
}  // namespace kf::app::window
