#pragma once

#include <cstdint>
#include <string>

#include "app/ControllerContext.h"
#include "app/Verifier.h"

namespace kf::app {

// The ways the downloader ends and what surrounds them: starting the installer (never one whose
// MD5 did not match), the close button and its remembered choice, the tray, the save folder's
// buttons, the power-off after the download with its cancellable countdown, and the orderly
// clean-up at exit.
//
// Owner and threads: a part of CDownloadController; the controller thread only.
class InstallExit {
  public:
    static constexpr int kShutdownDelaySeconds = 60;

    InstallExit(ControllerContext& context, Verifier& verifier)
        : context_(context), verifier_(verifier) {}

    // The design's Install. Unverified, the installer is checked against its MD5 first (and
    // repaired like any damaged file); it runs once it matched.
    void Install(bool verified);
    // Starts the installer (its digest already matched).
    void LaunchInstaller(bool verified);
    // The text after "安装程序无法正常打开，原因：" for a launch result.
    static std::string LaunchErrorText(int code);

    void CloseWindow();
    void OnCloseChoice(int choice, bool remember);
    void RestoreFromTray();
    void ExitFromTray();

    void ScheduleShutdown();
    void CancelShutdown();
    // Seconds until the machine powers off; -1 when nothing is scheduled.
    int32_t ShutdownSecondsLeft() const;

    // "查看": the save folder in the file manager, the installer selected when there is one.
    void ShowSaveFolder();
    // "修改" in back and ready: the save folder becomes `chosen`/GD4251.
    void ChangeSaveFolder(const std::string& chosen);

    // Once: the exit's log lines and event, the tasks stopped (their resume records saved), the
    // engine log released and the engine cleaned up.
    void ExitCleanup();

  private:
    std::string InstallerPath() const { return context_.save_folder + "/" + context_.setup_entry; }
    int InstallerIndex() const;

    ControllerContext& context_;
    Verifier& verifier_;
    bool cleaned_up_ = false;
};

}  // namespace kf::app
