#include "app/window/TrayIcon.h"

#include <QString>

#include "app/UserMessages.h"
#include "app/window/Skin.h"

namespace kf::app::window {

TrayIcon::TrayIcon(QObject* parent) : QObject(parent), icon_(Skin::ProgramIcon(), this) {
    icon_.setToolTip(QString::fromUtf8(UserMessages::kTitle));
    menu_.addAction(QStringLiteral("退出(&X)"), this, &TrayIcon::exitRequested);
    icon_.setContextMenu(&menu_);
    connect(&icon_, &QSystemTrayIcon::activated, this, &TrayIcon::OnActivated);
}

bool TrayIcon::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
        emit restoreRequested();
    }
}

}  // namespace kf::app::window
