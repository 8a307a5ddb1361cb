// Starting the installer, the close button and the tray, the save folder's buttons, the
// power-off after the download and the clean-up at exit.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ControllerHarness.h"
#include "app/IniKeys.h"

namespace kf::app::test {
namespace {

// All three files verified, the installer not yet started.
void ReachCheckFinished(ControllerHarness& h) {
    h.ReachChecking(false);
    for (int i = 0; i < 3; ++i) {
        h.AnswerDigest(true);
    }
    ASSERT_EQ(h.Context().state, DownloadState::kCheckFinished);
}

TEST(InstallExit, TheLaunchResultIsReportedWithItsReason) {
    const struct {
        int result;
        const char* reason;  // empty: launched
    } cases[] = {
        {33, ""},
        {2, "The specified file was not found."},
        {3, "The specified path was not found."},
        {5, "The operating system denied access to the specified file."},
        {11, "The .exe file is invalid (non-Win32 .exe or error in .exe image)."},
        {31,
         "There is no application associated with the given file name extension. This error "
         "will also be returned if you attempt to print a file that is not printable."},
        {32, "The specified DLL was not found."},
        {1, "Unknown open failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        ControllerHarness h;
        ReachCheckFinished(h);
        h.launcher.result = c.result;
        h.Do(action::MainAction{});
        EXPECT_EQ(
            h.events->Info("11070000").find("点击时已经验证过安装包分卷了") != std::string::npos,
            true);
        ASSERT_EQ(h.launcher.opened.size(), 1u);
        const bool launched = *c.reason == '\0';
        EXPECT_EQ(h.Context().installer_launched, launched);
        EXPECT_EQ(h.Context().exit_requested, launched);
        EXPECT_EQ(h.Context().state, DownloadState::kCheckFinished);
        if (launched) {
            EXPECT_TRUE(h.engine.Logged("开始安装] [用户点击安装按钮"));
            continue;
        }
        const std::string reason =
            std::string("安装程序无法正常打开，原因：本次安装前通过了校验") + c.reason;
        EXPECT_TRUE(h.engine.Logged(reason));
        EXPECT_NE(h.events->Info("11600101").find("安装程序无法正常打开，原因："),
                  std::string::npos);
        const auto shown = h.messages.Shown();
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back(),
                  std::make_pair(std::string("安装程序无法正常打开"), std::string("安装失败")));
        EXPECT_TRUE(h.Snapshot().install_failed);
    }

    // A missing installer keeps the state installing and the window open.
    ControllerHarness h;
    ReachCheckFinished(h);
    h.disk.Erase(h.FilePath(0));
    h.Do(action::MainAction{});
    EXPECT_EQ(h.Context().state, DownloadState::kInstalling);
    EXPECT_EQ(h.events->Count("11600102"), 1);
    EXPECT_EQ(h.messages.Shown().back(),
              std::make_pair(std::string("安装程序丢失"), std::string("安装失败")));
    EXPECT_TRUE(h.launcher.opened.empty());
    EXPECT_FALSE(h.Context().exit_requested);
}

TEST(InstallExit, TheCloseButtonFollowsTheRememberedChoice) {
    const struct {
        const char* stored;  // empty: no saved state at all
        int answer;          // the exit dialog's answer, when it is asked
        bool asked;
        bool tray;
        bool exits;
    } cases[] = {
        {"", 1, true, true, false},   {"", 2, true, false, true},   {"", 0, true, false, false},
        {"1", 0, false, true, false}, {"2", 0, false, false, true}, {"7", 1, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.stored) + " " + std::to_string(c.answer));
        ControllerHarness h;
        if (*c.stored != '\0') {
            ASSERT_TRUE(h.Ini().WriteString(ini::kTaskSection, ini::kCloseSelection, c.stored));
        }
        ASSERT_EQ(h.Init(), 0);
        h.Do(action::CloseWindow{});
        EXPECT_EQ(h.Snapshot().question == Question::kCloseChoice, c.asked);
        if (c.asked) {
            EXPECT_EQ(h.Snapshot().question_text, "您点击了关闭按钮，您是想：");
            h.Do(action::CloseChoice{c.answer, false});
            EXPECT_EQ(h.Context().question, Question::kNone);
        }
        EXPECT_EQ(h.Context().in_tray, c.tray);
        EXPECT_EQ(h.Context().exit_requested, c.exits);
        EXPECT_EQ(h.Context().user_exit, c.exits);
    }

    // From the tray: a double-click brings the window back, the menu's exit ends.
    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    h.Do(action::CloseWindow{});
    h.Do(action::CloseChoice{1, false});
    h.Do(action::RestoreFromTray{});
    EXPECT_FALSE(h.Context().in_tray);
    h.Do(action::ExitFromTray{});
    EXPECT_TRUE(h.Context().user_exit);
    EXPECT_TRUE(h.Context().exit_requested);
}

TEST(InstallExit, TheCleanUpTellsHowTheProgramEnded) {
    const struct {
        const char* name;
        std::function<void(ControllerHarness&)> reach;
        bool tasks;  // live tasks to stop
        std::vector<std::string> logs;
        const char* event;  // the one event of the clean-up; empty: none
        DownloadState state;
    } cases[] = {
        {"user exit while downloading",
         [](ControllerHarness& h) {
             h.ReachDownloading();
             h.Do(action::Exit{true});
         },
         true,
         {"用户点击退出按钮", "=====================退出====================="},
         "11040000",
         DownloadState::kDownloading},
        {"user exit before starting",
         [](ControllerHarness& h) {
             ASSERT_EQ(h.Init(), 0);
             h.Do(action::Exit{true});
         },
         false,
         {"用户点击退出按钮"},
         "",
         DownloadState::kReady},
        {"installer started",
         [](ControllerHarness& h) {
             ReachCheckFinished(h);
             h.Do(action::MainAction{});
         },
         true,
         {"由于启动了安装程序，退出", "=====================退出====================="},
         "",
         DownloadState::kCheckFinished},
        {"neither",
         [](ControllerHarness& h) { h.ReachDownloading(); },
         true,
         {"遭遇意外退出", "=====================已退出====================="},
         "11990501",
         DownloadState::kDestroyed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerHarness h;
        c.reach(h);
        if (HasFatalFailure()) {
            return;
        }
        h.events->Clear();
        h.engine.ClearCalls();
        h.controller->ExitCleanup();
        h.controller->ExitCleanup();
        for (const std::string& line : c.logs) {
            EXPECT_TRUE(h.engine.Logged(line)) << line;
        }
        EXPECT_EQ(h.events->Codes(), *c.event == '\0' ? std::vector<std::string>{}
                                                      : std::vector<std::string>{c.event});
        EXPECT_EQ(h.Context().state, c.state);
        if (c.state == DownloadState::kDestroyed) {
            EXPECT_NE(h.events->Info("11990501").find("Unknow Exit, maybe crashed"),
                      std::string::npos);
        }
        // The tasks stop (their resume records are saved), then the log goes, then the engine.
        std::vector<std::string> expected;
        if (c.tasks) {
            expected.push_back("StopTasks 3");
        }
        expected.push_back("ReleaseEngineLog");
        expected.push_back("CleanupEngine");
        EXPECT_EQ(h.engine.Calls(), expected);
    }
}

TEST(InstallExit, ThePowerOffComesAMinuteAfterTheDownloadAndCanBeCancelled) {
    for (const bool accepted : {true, false}) {
        SCOPED_TRACE(accepted);
        ControllerHarness h;
        h.power.accept = accepted;
        h.ReachDownloading();
        h.Do(action::AutoShutdown{true});
        for (int i = 0; i < 3; ++i) {
            h.CompleteFile(i);
        }
        h.Run(1);
        ASSERT_EQ(h.Context().state, DownloadState::kFinished);
        ASSERT_EQ(h.power.scheduled.size(), 1u);
        EXPECT_EQ(h.power.scheduled[0], std::make_pair(60, std::string("一分钟后将自动关机")));
        EXPECT_TRUE(h.engine.Logged("Kestrelfetch Utility: 触发自动关机"));
        if (!accepted) {
            EXPECT_EQ(h.messages.Count("自动关机失败，请手动关机"), 1);
            EXPECT_EQ(h.Snapshot().shutdown_seconds, -1);
            continue;
        }
        EXPECT_EQ(h.Snapshot().shutdown_seconds, 60);
        h.clock.Advance(30500);
        EXPECT_EQ(h.Snapshot().shutdown_seconds, 30);
        h.Do(action::CancelShutdown{});
        EXPECT_EQ(h.power.cancels, 1);
        EXPECT_EQ(h.Snapshot().shutdown_seconds, -1);
        h.Do(action::AutoShutdown{false});
        EXPECT_EQ(h.power.cancels, 1) << "nothing left to cancel";
    }
}

TEST(InstallExit, TheSaveFolderButtons) {
    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    for (const char* refused : {"relative/folder", "/mnt/../etc", ""}) {
        h.Do(action::ChangeSaveFolder{refused});
        EXPECT_EQ(h.Context().save_folder, "/games/GD4251") << refused;
    }
    h.Do(action::ChangeSaveFolder{"/mnt/big/"});
    EXPECT_EQ(h.Context().save_folder, "/mnt/big/GD4251");
    h.Do(action::ShowSaveFolder{});
    ASSERT_EQ(h.launcher.shown.size(), 1u);
    EXPECT_EQ(h.launcher.shown[0], std::make_pair(std::string("/mnt/big/GD4251"), std::string()));

    h.Do(action::MainAction{});
    h.Do(action::ChangeSaveFolder{"/elsewhere"});
    EXPECT_EQ(h.Context().save_folder, "/mnt/big/GD4251") << "only before the start";
    ASSERT_EQ(h.Task(0)->spec.target_path, "/mnt/big/GD4251/setup.exe");
    h.SetTasks(0, 5000);
    for (int i = 0; i < 3; ++i) {
        h.CompleteFile(i);
    }
    h.Run(1);
    h.Do(action::ShowSaveFolder{});
    ASSERT_EQ(h.launcher.shown.size(), 2u);
    EXPECT_EQ(h.launcher.shown[1].second, "/mnt/big/GD4251/setup.exe");
}

}  // namespace
}  // namespace kf::app::test
