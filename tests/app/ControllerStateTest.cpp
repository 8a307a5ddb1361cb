// The download state machine on a scripted engine: what the main button does in each state,
// the buttons each state shows, the engine's error statuses, downloads that cannot go on, and
// completion.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ControllerHarness.h"
#include "app/IniKeys.h"

namespace kf::app::test {
namespace {

constexpr const char* kSaved = "/saved/GD4251";

// "start:E pause:- ...": each button enabled (E), disabled (D) or hidden (-).
std::string Buttons(const ButtonPanel& panel) {
    const auto one = [](const char* name, const ButtonPanel::Button& button) {
        return std::string(name) + ":" + (button.shown ? (button.enabled ? "E" : "D") : "-");
    };
    return one("start", panel.start) + " " + one("pause", panel.pause) + " " +
           one("resume", panel.resume) + " " + one("install", panel.install) + " " +
           one("change", panel.change) + " " + one("view", panel.view);
}

// Brings a fresh harness into `state` along the paths a user and the engine take.
void Reach(ControllerHarness& h, DownloadState state) {
    switch (state) {
        case DownloadState::kReady:
            ASSERT_EQ(h.Init(), 0);
            break;
        case DownloadState::kBack:
            // A start the engine refused leaves ready with the space watch on; then the disk
            // fills up.
            h.engine.init_result = KF_ERR_SOCKETS;
            h.disk.mode = DiskInfo::VolumeMode::kSparse;
            ASSERT_EQ(h.Init(), 0);
            h.Do(action::MainAction{});
            ASSERT_EQ(h.Context().state, DownloadState::kReady);
            h.engine.init_result = KF_OK;
            h.disk.SetFree(1000);
            h.Tick();
            break;
        case DownloadState::kPreparing:
            ASSERT_EQ(h.Init(), 0);
            h.Do(action::MainAction{});
            break;
        case DownloadState::kDownloading:
            h.ReachDownloading();
            break;
        case DownloadState::kPause:
            h.ReachDownloading();
            h.Do(action::MainAction{});
            break;
        case DownloadState::kResume:
            h.ReachDownloading();
            h.Do(action::MainAction{});
            h.Do(action::MainAction{});
            break;
        case DownloadState::kFailed:
            h.ReachDownloading();
            h.ChangeTask(1, [](FakeTask& task) { task.info.info.status = KF_STATUS_WRITE_FAILED; });
            h.Tick();
            break;
        case DownloadState::kFinished:
            h.ReachFinished();
            break;
        case DownloadState::kMd5Checking:
            h.ReachChecking();
            break;
        case DownloadState::kCheckRecover:
            h.ReachChecking();
            h.AnswerDigest(false);
            break;
        case DownloadState::kCheckFinished:
            h.ReachChecking(false);
            for (int i = 0; i < 3; ++i) {
                h.AnswerDigest(true);
            }
            break;
        case DownloadState::kRecover:
            h.SaveState(kSaved, false);
            h.disk.PutFolder(kSaved);
            for (int i = 0; i < 3; ++i) {
                h.disk.PutFile(std::string(kSaved) + "/" + h.Name(i) + ".kftmp", 1000);
            }
            ASSERT_EQ(h.Init(), 1);
            break;
        case DownloadState::kReload:
            h.SaveState(kSaved, true);
            for (int i = 0; i < 3; ++i) {
                h.disk.PutFile(std::string(kSaved) + "/" + h.Name(i), 1000, 7000);
                h.SaveFinishInfo(i, i == 1 ? 6999 : 7000, 1000);
            }
            ASSERT_EQ(h.Init(), 1);
            break;
        default:
            FAIL() << "no path to " << StateName(state);
    }
    ASSERT_EQ(h.Context().state, state);
}

TEST(ControllerState, EachStateShowsItsButtonsAndAnswersTheMainButton) {
    const struct {
        DownloadState state;
        const char* buttons;
        DownloadState after;  // the state once the main button was pressed
        const char* message;  // shown by the press; empty: none
        const char* event;    // sent by the press; empty: none
        const char* call;     // an engine call the press makes; empty: none
    } cases[] = {
        {DownloadState::kReady, "start:E pause:- resume:- install:- change:E view:E",
         DownloadState::kPreparing, "", "11010000", "CreateAndStartTask data.7z.002"},
        {DownloadState::kBack, "start:D pause:- resume:- install:- change:E view:E",
         DownloadState::kBack, "当前磁盘空间不足，请选择其他位置存放", "", ""},
        // Pausing works before any data came, so that a start that never gets going can be
        // stopped.
        {DownloadState::kPreparing, "start:- pause:E resume:- install:- change:D view:E",
         DownloadState::kPause, "", "11020000", "StopTasks 3"},
        {DownloadState::kDownloading, "start:- pause:E resume:- install:- change:- view:E",
         DownloadState::kPause, "", "11020000", "StopTasks 3"},
        {DownloadState::kPause, "start:- pause:- resume:E install:- change:- view:E",
         DownloadState::kResume, "", "11030000", "StartTask setup.exe"},
        {DownloadState::kResume, "start:- pause:E resume:- install:- change:- view:E",
         DownloadState::kPause, "", "11020000", "StopTasks 3"},
        {DownloadState::kFailed, "start:- pause:D resume:- install:- change:- view:E",
         DownloadState::kFailed, "", "", ""},
        {DownloadState::kFinished, "start:- pause:- resume:- install:E change:- view:E",
         DownloadState::kFinished, "", "11070000", ""},
        {DownloadState::kMd5Checking, "start:- pause:- resume:- install:D change:- view:E",
         DownloadState::kMd5Checking, "MD5计算工作中……请等待完成", "", ""},
        {DownloadState::kCheckRecover, "start:- pause:- resume:- install:D change:- view:E",
         DownloadState::kCheckRecover, "部分文件错误，正在修复中...", "", ""},
        {DownloadState::kCheckFinished, "start:- pause:- resume:- install:E change:- view:E",
         DownloadState::kCheckFinished, "", "11070000", ""},
        {DownloadState::kRecover, "start:- pause:D resume:- install:- change:D view:E",
         DownloadState::kRecover, "", "", ""},
        {DownloadState::kReload, "start:- pause:D resume:- install:- change:D view:E",
         DownloadState::kReload, "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(StateName(c.state));
        ControllerHarness h;
        Reach(h, c.state);
        if (HasFatalFailure()) {
            return;
        }
        EXPECT_EQ(Buttons(h.Context().buttons), c.buttons);

        const size_t messages = h.messages.Shown().size();
        h.events->Clear();
        h.engine.ClearCalls();
        h.Do(action::MainAction{});
        EXPECT_EQ(h.Context().state, c.after);
        const auto shown = h.messages.Shown();
        if (*c.message != '\0') {
            ASSERT_EQ(shown.size(), messages + 1);
            EXPECT_EQ(shown.back().first, c.message);
        } else {
            EXPECT_EQ(shown.size(), messages);
        }
        if (*c.event != '\0') {
            EXPECT_EQ(h.events->Count(c.event), 1);
        } else {
            EXPECT_TRUE(h.events->Codes().empty());
        }
        if (*c.call != '\0') {
            EXPECT_EQ(h.engine.Count(c.call), 1);
        }
    }
}

TEST(ControllerState, EachEngineStatusIsHandledOncePerOccurrence) {
    const struct {
        int32_t status;
        bool ends_task;  // the task's thread ends with it
        DownloadState after;
        const char* message;
        const char* event;
        bool low_space;
    } cases[] = {
        {KF_STATUS_NO_METADATA, true, DownloadState::kPause, "网络连接超时，下载失败", "11990202",
         false},
        {KF_STATUS_DISK_FULL, true, DownloadState::kPause, "磁盘空间不足，请检查并重新启动下载器！",
         "11990301", true},
        {KF_STATUS_NO_SOURCE, true, DownloadState::kPause, "下载出错，请重试", "", false},
        {KF_STATUS_WRITE_FAILED, true, DownloadState::kFailed, "由于磁盘损坏无法写入，下载失败", "",
         false},
        {KF_STATUS_TORRENT_UNREADABLE, true, DownloadState::kPause, "下载出错，请重试", "", false},
        {KF_STATUS_IN_USE, true, DownloadState::kPause, "下载出错，请重试", "", false},
        {KF_STATUS_UNRESOLVABLE, false, DownloadState::kDownloading, "", "", false},
        {99999, false, DownloadState::kDownloading, "", "", false},
        // A thread that ended without a status still stops a download that would sit at 0 B/s.
        {KF_STATUS_NONE, true, DownloadState::kPause, "下载出错，请重试", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        ControllerHarness h;
        h.ReachDownloading();
        h.events->Clear();
        if (c.low_space) {
            h.disk.SetFree(1000);  // the disk really is full: the pause's space watch agrees
        }
        h.ChangeTask(1, [&](FakeTask& task) {
            task.info.info.status = c.status;
            task.running = !c.ends_task;
        });
        h.Run(3);
        EXPECT_EQ(h.Context().state, c.after);
        EXPECT_EQ(h.Context().low_space, c.low_space);
        const auto shown = h.messages.Shown();
        EXPECT_EQ(shown.size(), *c.message == '\0' ? 0u : 1u);
        if (!shown.empty()) {
            EXPECT_EQ(shown.front().first, c.message);
        }
        EXPECT_EQ(h.events->Count("11020000"), 0) << "an error's pause is not the user's";
        if (*c.event != '\0') {
            EXPECT_EQ(h.events->Count(c.event), 1);
        }
        if (c.after != DownloadState::kPause) {
            continue;
        }
        // Continue starts the tasks again; the same status coming back is a new occurrence.
        h.Do(action::MainAction{});
        EXPECT_EQ(h.Context().state, DownloadState::kResume);
        EXPECT_EQ(h.engine.Count("StartTask"), 3);
        h.Run(2);
        EXPECT_EQ(h.messages.Shown().size(), 1u);
        h.ChangeTask(1, [](FakeTask& task) { task.running = false; });
        h.Run(2);
        EXPECT_EQ(h.Context().state, DownloadState::kPause);
        EXPECT_EQ(h.messages.Shown().size(), 2u);
    }
}

TEST(ControllerState, AFullDiskPauseOffersContinueOnceThereIsRoomOnAPreallocatingVolume) {
    ControllerHarness h;  // the fake volume preallocates: no space watch while downloading
    h.ReachDownloading();
    ASSERT_FALSE(h.Context().space_watch);
    h.disk.SetFree(1000);
    h.ChangeTask(2, [](FakeTask& task) {
        task.info.info.status = KF_STATUS_DISK_FULL;
        task.running = false;
    });
    h.Run(3);
    EXPECT_EQ(h.Context().state, DownloadState::kPause);
    EXPECT_TRUE(h.Context().low_space);
    EXPECT_FALSE(h.Context().buttons.resume.enabled);
    h.disk.SetFree(h.Context().RequiredBytes() - 1 - h.Context().downloaded_total);
    h.Run(2);
    EXPECT_TRUE(h.Context().low_space) << "one byte short of the files and the reserve";
    h.disk.SetFree(h.Context().RequiredBytes());
    h.Run(2);
    EXPECT_FALSE(h.Context().low_space);
    EXPECT_TRUE(h.Context().buttons.resume.enabled);
    EXPECT_EQ(h.Context().state, DownloadState::kPause) << "continue is the user's";
    EXPECT_EQ(h.messages.Count("磁盘空间不足，请检查并重新启动下载器！"), 1);
}

TEST(ControllerState, AFailedTaskCreationPausesSoThatContinueTriesAgain) {
    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    h.engine.create_results = {KF_OK, KF_ERR_INTERNAL, KF_OK};
    h.Do(action::MainAction{});
    EXPECT_EQ(h.messages.Count("ErrorCode : -107"), 1);
    EXPECT_EQ(h.Context().state, DownloadState::kPause) << "not preparing at 0 B/s for ever";
    EXPECT_EQ(h.Task(1), nullptr);

    // Continue makes the missing task: afresh without a resume record, recovered with one.
    h.Do(action::MainAction{});
    EXPECT_EQ(h.Context().state, DownloadState::kResume);
    ASSERT_NE(h.Task(1), nullptr);
    EXPECT_FALSE(h.Task(1)->recovered);
    EXPECT_EQ(h.engine.Count("StartTask"), 2);
}

TEST(ControllerState, AMissingTaskWithAResumeRecordIsRecoveredByContinue) {
    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    h.engine.create_results = {KF_OK, KF_OK, KF_ERR_NO_MEMORY};
    h.Do(action::MainAction{});
    ASSERT_EQ(h.Context().state, DownloadState::kPause);
    h.disk.PutFile(h.Context().resume_path[2], 100);
    h.Do(action::MainAction{});
    EXPECT_EQ(h.Context().state, DownloadState::kResume);
    ASSERT_NE(h.Task(2), nullptr);
    EXPECT_TRUE(h.Task(2)->recovered);
    EXPECT_FALSE(h.Task(2)->force);
}

TEST(ControllerState, AFileCompletesOnlyOnceItsFinalFileExists) {
    ControllerHarness h;
    h.ReachDownloading();
    h.ChangeTask(0, [](FakeTask& task) {
        task.complete = true;
        task.info.info.progress = 10000;
    });
    h.Run(2);
    EXPECT_FALSE(h.Context().files[0].complete) << "still under its temporary name";
    EXPECT_EQ(h.Ini().GetString(ini::kFinishSection, "KestrelfetchTask0FileSizeLow"), "");
    EXPECT_EQ(h.events->Count("11080000"), 0);

    h.disk.PutFile(h.FilePath(0), (int64_t{5} << 30) + 3, (uint64_t{3} << 32) | 7);
    h.Run(1);
    EXPECT_TRUE(h.Context().files[0].complete);
    EXPECT_EQ(h.events->Count("11080000"), 1);
    const IniFile ini = h.Ini();
    EXPECT_EQ(ini.GetString(ini::kFinishSection, "KestrelfetchTask0WriteTimeHigh"), "3");
    EXPECT_EQ(ini.GetString(ini::kFinishSection, "KestrelfetchTask0WriteTimeLow"), "7");
    EXPECT_EQ(ini.GetString(ini::kFinishSection, "KestrelfetchTask0FileSizeHigh"), "1");
    EXPECT_EQ(ini.GetString(ini::kFinishSection, "KestrelfetchTask0FileSizeLow"), "1073741827");
    EXPECT_EQ(h.Context().state, DownloadState::kDownloading);

    h.CompleteFile(1);
    h.CompleteFile(2);
    h.Run(1);
    EXPECT_EQ(h.Context().state, DownloadState::kFinished);
    EXPECT_EQ(h.events->Count("11080000"), 3);
    EXPECT_EQ(h.events->Count("11060000"), 1);
    EXPECT_EQ(h.Ini().GetString(ini::kTaskSection, ini::kIsComplete), "COMPLETE");
    const ControllerSnapshot snapshot = h.Snapshot();
    EXPECT_EQ(snapshot.result_line, "下载完成");
    EXPECT_EQ(snapshot.rows[1].percent, "√ 下载完成  ");
}

TEST(ControllerState, ProgressSpeedAndTimeTicks) {
    // Files far smaller than a MiB weigh one MiB each: no division by zero.
    ControllerHarness tiny({1, 1, 1});
    tiny.ReachDownloading();
    tiny.SetTasks(5000, 2000);
    tiny.Run(1);
    EXPECT_EQ(tiny.Context().overall_progress, 5000);

    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    h.Do(action::MainAction{});
    // Progress without speed: preparing becomes reload; speed makes it downloading.
    h.SetTasks(3, 0);
    h.Tick();
    EXPECT_EQ(h.Context().state, DownloadState::kReload);
    h.SetTasks(3, 0);
    h.ChangeTask(2, [](FakeTask& task) { task.info.info.speed = 1024; });
    h.Run(1);
    EXPECT_EQ(h.Context().state, DownloadState::kReload) << "1024 B/s is not above 1024";
    h.ChangeTask(1, [](FakeTask& task) { task.info.info.speed = 1; });
    h.Run(1);
    EXPECT_EQ(h.Context().state, DownloadState::kDownloading);

    // Above the limit the shown speed moves halfway: 80000 shown, then 150000 measured with a
    // limit of 100 KB/s shows (150000 + 80000) / 2.
    h.Do(action::SpeedLimit{100});
    h.SetTasks(3, 0);
    h.ChangeTask(0, [](FakeTask& task) { task.info.info.speed = 80000; });
    h.Run(1);
    EXPECT_EQ(h.Snapshot().speed_line, "78.1 KB/s");
    h.ChangeTask(0, [](FakeTask& task) { task.info.info.speed = 150000; });
    h.Run(1);
    EXPECT_EQ(h.Snapshot().speed, 115000u);
    EXPECT_EQ(h.Snapshot().speed_line, "112.3 KB/s");

    // Every 300th active second sends the statistics; paused seconds do not count.
    h.events->Clear();
    h.Run(296);
    EXPECT_EQ(h.events->Count("11050000"), 1);
    h.Do(action::MainAction{});
    h.Run(400);
    EXPECT_EQ(h.events->Count("11050000"), 1);
}

TEST(ControllerState, StartUpHandsTheMappedPortToTheEngineAndRemembersItBesideItsData) {
    for (const int32_t mapped : {45678, 0}) {
        ControllerHarness h;
        h.engine.map_port_result = mapped;
        ASSERT_EQ(h.Init(), 0);
        const std::vector<std::string> calls = h.engine.Calls();
        const auto map = std::find(calls.begin(), calls.end(),
                                   "MapListenPort " + h.config.paths.data_folder + "/upnp.port");
        const auto set =
            std::find(calls.begin(), calls.end(), "SetListenPort " + std::to_string(mapped));
        ASSERT_NE(map, calls.end()) << mapped;
        ASSERT_NE(set, calls.end()) << mapped;
        EXPECT_LT(map, set);
        EXPECT_EQ(h.engine.Count("MapListenPort"), 1);
        EXPECT_EQ(h.engine.Count("SetListenPort"), 1);
    }
}

}  // namespace
}  // namespace kf::app::test
