#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/ControllerAction.h"
#include "app/ControllerSnapshot.h"
#include "app/UserMessages.h"

class QMessageBox;

namespace kf::app {
class ControllerThread;
}

namespace kf::app::window {

class ExitChoiceDialog;
class MainWindow;
class SettingsDialog;
class ShutdownDialog;
class TrayIcon;

// The downloader's window over the controller thread: shows each new snapshot, turns clicks,
// dialog answers and tray clicks into actions, asks the controller's questions in boxes that do
// not block, and ends the event loop with the exit code once the controller has ended.
//
// Owner: main(), on the GUI thread, after the QApplication. Threads: Show and ShowWindow may be
// called from any thread (the controller's, the single-instance listener's); they queue onto the
// GUI thread. Everything else runs on the GUI thread. The window never calls the engine.
class WindowFrontend final : public QObject, public UserMessages {
    Q_OBJECT

  public:
    // `interrupted` (SIGINT, SIGTERM) asks for an orderly exit.
    explicit WindowFrontend(const std::atomic<bool>& interrupted);
    ~WindowFrontend() override;

    void Show(const std::string& text, const std::string& caption) override;
    // Another start asked for this downloader: bring the window back, from the tray as well.
    void ShowWindow();

    // Runs the event loop until the controller has ended. Answers the exit code: 0 after the
    // installer started or when the user closed the downloader, 2 when it ended on a failure,
    // 130 on SIGINT or SIGTERM.
    int Run(ControllerThread& thread);

  private:
    void Poll();
    void Present(const ControllerSnapshot& snapshot);
    void AskVerify(const ControllerSnapshot& snapshot);
    void AskCloseChoice();
    void ShowShutdown(int32_t seconds);
    void ShowTray(bool in_tray);
    void OpenSettings();
    void OpenFolder();
    void Post(ControllerAction action);
    bool eventFilter(QObject* watched, QEvent* event) override;

    const std::atomic<bool>& interrupted_;
    ControllerThread* thread_ = nullptr;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<TrayIcon> tray_;
    QTimer poll_;
    std::shared_ptr<const ControllerSnapshot> shown_;
    // Open boxes; QPointer clears itself when a box deletes itself on close.
    QPointer<QMessageBox> verify_box_;
    QPointer<ExitChoiceDialog> exit_dialog_;
    QPointer<ShutdownDialog> shutdown_dialog_;
    QPointer<SettingsDialog> settings_dialog_;
    bool exit_posted_ = false;
    bool interrupted_seen_ = false;
    bool first_shown_ = false;
};

}  // namespace kf::app::window
