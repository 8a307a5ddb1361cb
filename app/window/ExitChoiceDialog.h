#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace kf::app::window {

// "关闭": what the close button does, to the tray or exit, and whether to remember it.
//
// Threads: the GUI thread. Used without blocking: the owner calls open() and reads the accessors
// once accepted() fires. Closing it by the window manager or Escape rejects it (dismissed: the
// close does nothing). Each showing starts from "to the tray".
class ExitChoiceDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kToTray = 1;
    static constexpr int kExit = 2;

    explicit ExitChoiceDialog(QWidget* parent = nullptr);

    int Choice() const { return tray_.isChecked() ? kToTray : kExit; }
    bool Remember() const { return remember_.isChecked(); }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // Containers before contents: the contents go first on destruction and leave their layouts.
    QGroupBox group_;
    QVBoxLayout group_layout_;
    QVBoxLayout layout_;
    QRadioButton tray_;
    QRadioButton exit_;
    QCheckBox remember_;
    QPushButton ok_;
};

}  // namespace kf::app::window
