#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

namespace kf::app::window {

// The notification-area icon while the window sits in the tray: the program icon, the tip
// "Vormhal下载器" and a menu with "退出(&X)".
//
// Threads: the GUI thread. A left click or a double click asks for the window back
// (restoreRequested): trays speaking the status-notifier protocol send no double click, and on
// others a double click also brings the click before it, so the owner's restore must be
// idempotent. The menu entry raises exitRequested.
class TrayIcon : public QObject {
    Q_OBJECT

  public:
    explicit TrayIcon(QObject* parent = nullptr);

    // Whether the desktop has a tray at all; without one the window must not hide into it.
    static bool Available();

    void Show() { icon_.show(); }
    void Hide() { icon_.hide(); }
    bool Visible() const { return icon_.isVisible(); }

  signals:
    void restoreRequested();
    void exitRequested();

  private:
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

    QMenu menu_;  // outlives the icon that shows it
    QSystemTrayIcon icon_;
};

}  // namespace kf::app::window
