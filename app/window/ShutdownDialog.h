#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kf::app::window {

// The notice that the machine powers off in a minute, with a live countdown and a button that
// asks the controller to call the shutdown off.
//
// Threads: the GUI thread. The owner feeds the seconds from its snapshots. Only the button cancels
// (cancelRequested, then the notice closes); closing the notice otherwise leaves the shutdown on,
// as the user asked for it when switching it on.
class ShutdownDialog : public QDialog {
    Q_OBJECT

  public:
    explicit ShutdownDialog(QWidget* parent = nullptr);

    // Negative values show as 0.
    void SetSecondsLeft(int seconds);

  signals:
    void cancelRequested();

  private:
    QVBoxLayout layout_;
    QLabel notice_;
    QLabel countdown_;
    QPushButton cancel_;
};

}  // namespace kf::app::window
