#include "app/window/ShutdownDialog.h"

#include <QString>
#include <algorithm>

#include "app/UserMessages.h"
#include "app/window/Skin.h"

namespace kf::app::window {

ShutdownDialog::ShutdownDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint),
      layout_(this),
      notice_(QStringLiteral("一分钟后将自动关机")),
      cancel_(QStringLiteral("取消关机")) {
    setWindowTitle(QString::fromUtf8(UserMessages::kTitle));
    setFont(Skin::Font(13));
    countdown_.setObjectName(QStringLiteral("countdown"));
    cancel_.setObjectName(QStringLiteral("cancel"));
    countdown_.setFont(Skin::Font(20, true));
    countdown_.setAlignment(Qt::AlignCenter);
    layout_.addWidget(&notice_);
    layout_.addWidget(&countdown_);
    layout_.addWidget(&cancel_, 0, Qt::AlignCenter);
    layout_.setSizeConstraint(QLayout::SetFixedSize);
    SetSecondsLeft(60);

    connect(&cancel_, &QPushButton::clicked, this, [this] {
        emit cancelRequested();
        reject();
    });
}

void ShutdownDialog::SetSecondsLeft(int seconds) {
    countdown_.setText(QString::number(std::max(seconds, 0)) + QStringLiteral(" 秒后关机"));
}

}  // namespace kf::app::window
