#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstdint>
#include <memory>

namespace kf::app::window {

// "下载设置": the download speed limit (10..30000 KB/s or none) and the switches for shutting down
// after the download and for P2P (the latter kept hidden, as the downloader has always done).
//
// Threads: the GUI thread. Used without blocking: the owner calls open() and reads the accessors
// once accepted() fires; "取消" and the window manager's close reject it.
// Checks: "设置" with the limit switched on reads the number as typed, so that a value the spin
// box would clamp or revert still meets the range check; out of range (or not a number) shows a
// non-blocking warning and the dialog stays open.
class SettingsDialog : public QDialog {
    Q_OBJECT

  public:
    static constexpr int32_t kMinLimit = 10;
    static constexpr int32_t kMaxLimit = 30000;
    static constexpr int32_t kSwitchedOnLimit = 200;  // what switching the limit on proposes

    // The current settings; `speed_limit` 0 means none.
    SettingsDialog(int32_t speed_limit, bool auto_shutdown, bool p2p, QWidget* parent = nullptr);

    // The accepted values (before acceptance: the ones given to the constructor).
    int32_t SpeedLimit() const { return speed_limit_; }
    bool AutoShutdown() const { return shutdown_.isChecked(); }
    bool P2P() const { return p2p_.isChecked(); }

  private:
    void OnLimitSwitched(bool on);
    void OnSet();

    // Containers before contents: the contents go first on destruction and leave their layouts.
    QGroupBox speed_group_;
    QGridLayout speed_layout_;
    QGroupBox advanced_group_;
    QVBoxLayout advanced_layout_;
    QGridLayout layout_;
    QCheckBox limit_on_;
    std::unique_ptr<QSpinBox> limit_;
    QLabel unit_;
    QCheckBox shutdown_;
    QCheckBox p2p_;
    QPushButton set_;
    QPushButton cancel_;
    QMessageBox warning_;
    int32_t speed_limit_;
};

}  // namespace kf::app::window
