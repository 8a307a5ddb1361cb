#include "app/window/ExitChoiceDialog.h"

#include "app/window/Skin.h"

namespace kf::app::window {

ExitChoiceDialog::ExitChoiceDialog(QWidget* parent)
    : QDialog(parent),
      group_(QStringLiteral("您点击了关闭按钮，您是想："), this),
      group_layout_(&group_),
      layout_(this),
      tray_(QStringLiteral("最小化到系统托盘，不退出程序")),
      exit_(QStringLiteral("退出程序")),
      remember_(QStringLiteral("记住我的选择")),
      ok_(QStringLiteral("确定")) {
    setWindowTitle(QStringLiteral("关闭"));
    setFont(Skin::Font(12));
    tray_.setObjectName(QStringLiteral("tray"));
    exit_.setObjectName(QStringLiteral("exit"));
    remember_.setObjectName(QStringLiteral("remember"));
    ok_.setObjectName(QStringLiteral("ok"));

    group_layout_.addWidget(&tray_);
    group_layout_.addWidget(&exit_);
    layout_.addWidget(&group_);
    layout_.addWidget(&remember_);
    layout_.addWidget(&ok_, 0, Qt::AlignRight);
    layout_.setSizeConstraint(QLayout::SetFixedSize);
    ok_.setDefault(true);
    tray_.setChecked(true);

    connect(&ok_, &QPushButton::clicked, this, &QDialog::accept);
}

void ExitChoiceDialog::showEvent(QShowEvent* event) {
    tray_.setChecked(true);
    QDialog::showEvent(event);
}

}  // namespace kf::app::window
