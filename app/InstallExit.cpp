#include "app/InstallExit.h"

#include "app/IniKeys.h"
#include "app/TaskPersistence.h"

namespace kf::app {
namespace {

constexpr const char* kInstallFailed = "安装失败";

}  // namespace

int InstallExit::InstallerIndex() const {
    for (int i = 0; i < 3; ++i) {
        if (context_.File(i).name == context_.setup_entry) {
            return i;
        }
    }
    return 0;
}

void InstallExit::Install(bool verified) {
    const DiskInfo::FileFacts facts = context_.services.disk.Stat(InstallerPath());
    if (verified || !facts.exists) {
        LaunchInstaller(verified);
        return;
    }
    verifier_.CheckInstaller(InstallerIndex());
}

std::string InstallExit::LaunchErrorText(int code) {
    switch (code) {
        case 2:
            return "The specified file was not found.";
        case 3:
            return "The specified path was not found.";
        case 5:
            return "The operating system denied access to the specified file.";
        case 8:
            return "There was not enough memory to complete the operation.";
        case 11:
            return "The .exe file is invalid (non-Win32 .exe or error in .exe image).";
        case 26:
            return "A sharing violation occurred.";
        case 27:
            return "The file name association is incomplete or invalid.";
        case 28:
            return "The DDE transaction could not be completed because the request timed out.";
        case 29:
            return "The DDE transaction failed.";
        case 30:
            return "The DDE transaction could not be completed because other DDE transactions "
                   "were being processed.";
        case 31:
            return "There is no application associated with the given file name extension. This "
                   "error will also be returned if you attempt to print a file that is not "
                   "printable.";
        case 32:
            return "The specified DLL was not found.";
        default:
            return "Unknown open failed";
    }
}

void InstallExit::LaunchInstaller(bool verified) {
    const DownloadState remembered = context_.state;
    context_.SetState(DownloadState::kInstalling);
    const std::string path = InstallerPath();
    const DiskInfo::FileFacts facts = context_.services.disk.Stat(path);
    if (!facts.exists) {
        context_.Message("安装程序丢失", kInstallFailed);
        context_.Event("11600102",
                       EventReport::File(context_.setup_entry,
                                         "用户点击安装按钮，但是找不到安装程序，安装失败"));
        context_.Log("安装失败] [用户点击安装按钮，但是找不到安装程序", LogChannel::kMessage);
        context_.install_failed = true;
        return;
    }
    const int result = context_.services.launcher.Open(path, context_.save_folder);
    context_.SetState(remembered);
    // Results up to 32 are the error codes of the table (32 among them); success is above.
    if (result <= 32) {
        const std::string reason = std::string("安装程序无法正常打开，原因：") +
                                   (verified ? "本次安装前通过了校验" : "本次安装前没有校验") +
                                   LaunchErrorText(result);
        context_.Message("安装程序无法正常打开", kInstallFailed);
        context_.Log(reason, LogChannel::kMessage);
        context_.Event("11600101", EventReport::File(context_.setup_entry, reason));
        context_.install_failed = true;
        return;
    }
    context_.Log("开始安装] [用户点击安装按钮", LogChannel::kMessage);
    context_.installer_launched = true;
    context_.exit_requested = true;
}

void InstallExit::CloseWindow() {
    const int32_t choice = context_.ini.Exists()
                               ? context_.ini.GetInt(ini::kTaskSection, ini::kCloseSelection, -1)
                               : -1;
    if (choice == 1) {
        context_.in_tray = true;
    } else if (choice == 2) {
        context_.user_exit = true;
        context_.exit_requested = true;
    } else {
        context_.question = Question::kCloseChoice;
    }
}

void InstallExit::OnCloseChoice(int choice, bool remember) {
    if (context_.question == Question::kCloseChoice) {
        context_.question = Question::kNone;
    }
    if (choice != 1 && choice != 2) {
        return;  // dismissed
    }
    if (remember) {
        context_.ini.WriteString(ini::kTaskSection, ini::kCloseSelection, std::to_string(choice));
    }
    if (choice == 1) {
        context_.in_tray = true;
    } else {
        context_.user_exit = true;
        context_.exit_requested = true;
    }
}

void InstallExit::RestoreFromTray() {
    context_.user_exit = false;
    context_.in_tray = false;
}

void InstallExit::ExitFromTray() {
    context_.user_exit = true;
    context_.exit_requested = true;
}

void InstallExit::ScheduleShutdown() {
    if (context_.services.power.Schedule(kShutdownDelaySeconds, "一分钟后将自动关机")) {
        context_.shutdown_deadline_ms =
            context_.services.clock.NowMs() + uint64_t{kShutdownDelaySeconds} * 1000u;
    } else {
        context_.Message("自动关机失败，请手动关机");
    }
}

void InstallExit::CancelShutdown() {
    if (context_.shutdown_deadline_ms) {
        context_.services.power.Cancel();
        context_.shutdown_deadline_ms.reset();
    }
}

int32_t InstallExit::ShutdownSecondsLeft() const {
    if (!context_.shutdown_deadline_ms) {
        return -1;
    }
    const uint64_t now = context_.services.clock.NowMs();
    const uint64_t deadline = *context_.shutdown_deadline_ms;
    return deadline <= now ? 0 : static_cast<int32_t>((deadline - now + 999) / 1000);
}

void InstallExit::ShowSaveFolder() {
    if (context_.save_folder.empty()) {
        context_.Message("下载位置不存在");
        return;
    }
    std::string select;
    switch (context_.state) {
        case DownloadState::kFinished:
        case DownloadState::kMd5Checking:
        case DownloadState::kCheckRecover:
        case DownloadState::kCheckFinished:
            if (context_.services.disk.Stat(InstallerPath()).exists) {
                select = InstallerPath();
            }
            break;
        default:
            break;
    }
    context_.services.launcher.ShowFolder(context_.save_folder, select);
}

void InstallExit::ChangeSaveFolder(const std::string& chosen) {
    if (context_.state != DownloadState::kBack && context_.state != DownloadState::kReady) {
        return;
    }
    std::string folder = chosen;
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    if (!TaskPersistence::IsSafePath(folder)) {
        return;
    }
    context_.save_folder = folder + "/" + ini::kSaveSubfolder;
}

void InstallExit::ExitCleanup() {
    if (cleaned_up_) {
        return;
    }
    cleaned_up_ = true;
    if (context_.user_exit) {
        context_.Log("用户点击退出按钮", LogChannel::kMessage);
        const DownloadState state = context_.state;
        if (state != DownloadState::kFinished && state != DownloadState::kBack &&
            state != DownloadState::kReady) {
            context_.EventWithStatistics("11040000");
        }
        context_.Log("=====================退出=====================", LogChannel::kMessage);
    } else if (context_.installer_launched) {
        context_.Log("由于启动了安装程序，退出", LogChannel::kMessage);
        context_.Log("=====================退出=====================", LogChannel::kMessage);
    } else {
        context_.EventWithStatistics("11990501", "Unknow Exit, maybe crashed");
        context_.Log("遭遇意外退出", LogChannel::kMessage);
        context_.SetState(DownloadState::kDestroyed);
        context_.Log("=====================已退出=====================", LogChannel::kMessage);
    }
    // Stopping saves each task's resume record, so the next start goes on from here.
    const std::vector<TaskHandle> live = context_.LiveHandles();
    if (!live.empty()) {
        context_.services.engine.StopTasks(live, false);
    }
    context_.services.engine.ReleaseEngineLog();
    context_.services.engine.CleanupEngine();
}

}  // namespace kf::app
