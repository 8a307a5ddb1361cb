// The saved state: the start decision's outcomes from what the INI file and the save folder
// say, the checks on what is read back from the file, and every key with its write rule.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ControllerHarness.h"
#include "app/IniKeys.h"

namespace kf::app::test {
namespace {

constexpr const char* kSaved = "/saved/GD4251";
constexpr const char* kAllLost = "目标文件被删除或移动，请重新下载";

std::string InSaved(const ControllerHarness& h, int index, const char* suffix = "") {
    return std::string(kSaved) + "/" + h.Name(index) + suffix;
}

TEST(ControllerPersistence, TheStartDecisionFollowsTheSavedStateAndTheDisk) {
    const struct {
        const char* name;
        std::function<void(ControllerHarness&)> arrange;
        int init;
        DownloadState state;
        bool message;           // the all-lost message
        bool ini_kept;          // config_file still exists
        const char* recovered;  // the files whose tasks were recovered, by index ("" none)
        const char* complete;   // the files marked complete without a task
    } cases[] = {
        {"no saved state", [](ControllerHarness&) {}, 0, DownloadState::kReady, false, false, "",
         ""},
        {"the four start keys empty: new, the file kept",
         [](ControllerHarness& h) {
             ASSERT_TRUE(h.Ini().WriteString(ini::kTaskSection, ini::kLastSizeLow, "5"));
         },
         0, DownloadState::kReady, false, true, "", ""},
        {"every file gone, the folder there: the saved state goes",
         [](ControllerHarness& h) {
             h.SaveState(kSaved, false);
             h.disk.PutFolder(kSaved);
         },
         0, DownloadState::kReady, true, false, "", ""},
        {"every file gone with the folder (an unmounted disk): the saved state stays",
         [](ControllerHarness& h) { h.SaveState(kSaved, false); }, 0, DownloadState::kReady, true,
         true, "", ""},
        {"complete and untouched",
         [](ControllerHarness& h) {
             h.SaveState(kSaved, true);
             for (int i = 0; i < 3; ++i) {
                 h.disk.PutFile(InSaved(h, i), 100 + i, 7000 + i);
                 h.SaveFinishInfo(i, 7000 + i, 100 + i);
             }
         },
         1, DownloadState::kFinished, false, true, "", "012"},
        {"complete, one file touched since",
         [](ControllerHarness& h) {
             h.SaveState(kSaved, true);
             for (int i = 0; i < 3; ++i) {
                 h.disk.PutFile(InSaved(h, i), 100, i == 1 ? 9999 : 7000);
                 h.SaveFinishInfo(i, 7000, 100);
             }
         },
         1, DownloadState::kReload, false, true, "1", "02"},
        {"complete, one file grown",
         [](ControllerHarness& h) {
             h.SaveState(kSaved, true);
             for (int i = 0; i < 3; ++i) {
                 h.disk.PutFile(InSaved(h, i), i == 2 ? (int64_t{1} << 32) + 100 : 100, 7000);
                 h.SaveFinishInfo(i, 7000, 100);
             }
         },
         1, DownloadState::kReload, false, true, "2", "01"},
        {"under way: temporary files only",
         [](ControllerHarness& h) {
             h.SaveState(kSaved, false);
             for (int i = 0; i < 3; ++i) {
                 h.disk.PutFile(InSaved(h, i, ".kftmp"), 10);
             }
         },
         1, DownloadState::kRecover, false, true, "012", ""},
        {"under way, one file already final",
         [](ControllerHarness& h) {
             h.SaveState(kSaved, false);
             h.disk.PutFile(InSaved(h, 0), 100, 7000);
             h.SaveFinishInfo(0, 7000, 100);
             h.disk.PutFile(InSaved(h, 1, ".kftmp"), 10);
         },
         1, DownloadState::kReload, false, true, "12", "0"},
        {"complete, one file missing: the rest is resumable",
         [](ControllerHarness& h) {
             h.SaveState(kSaved, true);
             for (int i = 0; i < 2; ++i) {
                 h.disk.PutFile(InSaved(h, i), 100, 7000);
                 h.SaveFinishInfo(i, 7000, 100);
             }
             // Once complete, a temporary file does not count.
             h.disk.PutFile(InSaved(h, 2, ".kftmp"), 10);
         },
         1, DownloadState::kRecover, false, true, "2", "01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerHarness h;
        c.arrange(h);
        if (HasFatalFailure()) {
            return;
        }
        EXPECT_EQ(h.Init(), c.init);
        EXPECT_EQ(h.Context().state, c.state);
        EXPECT_EQ(h.messages.Count(kAllLost), c.message ? 1 : 0);
        EXPECT_EQ(h.Ini().Exists(), c.ini_kept);
        std::string recovered;
        std::string complete;
        for (int i = 0; i < 3; ++i) {
            const FakeTask* task = h.Task(i);
            if (task != nullptr) {
                EXPECT_TRUE(task->recovered);
                EXPECT_FALSE(task->force);
                EXPECT_EQ(task->spec.target_path, InSaved(h, i));
                EXPECT_EQ(
                    h.Ini().GetString(ini::kTaskSection, "KestrelfetchTask" + std::to_string(i)),
                    h.Name(i));
                recovered += static_cast<char>('0' + i);
            }
            if (h.Context().files[i].complete && task == nullptr) {
                complete += static_cast<char>('0' + i);
            }
        }
        EXPECT_EQ(recovered, c.recovered);
        EXPECT_EQ(complete, c.complete);
        EXPECT_EQ(h.engine.Count("InitEngine"), c.init == 1 ? 1 : 0);
        if (c.init == 1) {
            EXPECT_EQ(h.Context().save_folder, kSaved);
            EXPECT_EQ(h.events->Count("11030000"), *c.recovered == '\0' ? 0 : 1);
        } else {
            EXPECT_EQ(h.Context().save_folder, "/games/GD4251");
            // A download that was not reloaded asks whether the downloader has expired.
            ASSERT_EQ(h.fetches.size(), 1u);
            EXPECT_EQ(h.fetches[0].kind, FetchRequest::Kind::kExpiry);
            EXPECT_EQ(h.fetches[0].timeout_seconds, 2);
        }
    }
}

TEST(ControllerPersistence, ValuesReadBackFromTheFileAreCheckedBeforeUse) {
    // "{data}" stands for the data folder; an empty resume path means file 1's default one.
    const struct {
        const char* key;
        const char* value;
        const char* save_folder;  // where the files are then looked for
        const char* resume1;      // file 1's resume path
        const char* entry;        // the installer's name
    } cases[] = {
        {ini::kHash, "../../../etc", kSaved, "", "setup.exe"},
        {ini::kHash, "other_hash", kSaved, "{data}/other_hashKFInfo/data.7z.001.kfinfo",
         "setup.exe"},
        {ini::kSavePath, "relative/GD4251", "/games/GD4251", "", "setup.exe"},
        {ini::kSavePath, "/saved/../etc", "/games/GD4251", "", "setup.exe"},
        {ini::kSavePath, "/saved/./GD4251", "/games/GD4251", "", "setup.exe"},
        {"KestrelfetchDownloadInfo1", "/etc/passwd", kSaved, "", "setup.exe"},
        {"KestrelfetchDownloadInfo1", "{data}/../etc/x.kfinfo", kSaved, "", "setup.exe"},
        {"KestrelfetchDownloadInfo1", "{data}/elsewhere/one.txt", kSaved, "", "setup.exe"},
        {"KestrelfetchDownloadInfo1", "{data}/elsewhere/one.kfinfo", kSaved,
         "{data}/elsewhere/one.kfinfo", "setup.exe"},
        {ini::kEntrence, "../../bin/sh", kSaved, "", "setup.exe"},
        {ini::kEntrence, "data.7z.002", kSaved, "", "data.7z.002"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.value);
        ControllerHarness h;
        const auto expand = [&](std::string text) {
            const size_t at = text.find("{data}");
            return at == std::string::npos ? text : text.replace(at, 6, h.config.paths.data_folder);
        };
        h.SaveState(kSaved, false);
        ASSERT_TRUE(h.Ini().WriteString(ini::kTaskSection, c.key, expand(c.value)));
        for (const char* folder : {kSaved, "/games/GD4251"}) {
            for (int i = 0; i < 3; ++i) {
                h.disk.PutFile(std::string(folder) + "/" + h.Name(i) + ".kftmp", 10);
            }
        }
        ASSERT_EQ(h.Init(), 1);
        EXPECT_EQ(h.Context().save_folder, c.save_folder);
        EXPECT_EQ(h.Context().setup_entry, c.entry);
        ASSERT_NE(h.Task(1), nullptr);
        EXPECT_EQ(h.Task(1)->spec.resume_path,
                  *c.resume1 == '\0' ? h.config.paths.resume_path[1] : expand(c.resume1));
    }
}

TEST(ControllerPersistence, EachKeyIsWrittenWhenItsRuleSays) {
    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    h.engine.ClearCalls();
    h.Do(action::MainAction{});
    IniFile ini = h.Ini();
    const std::vector<std::pair<std::string, std::string>> start_keys = {
        {ini::kHash, h.config.product.Id()},
        {ini::kCreateTimeStamp, "1000000"},
        {ini::kCreateTime, "2026-12-10 06:56:01"},
        {ini::kSavePath, "/games/GD4251"},
        {ini::kEntrence, "setup.exe"},
        {ini::kFloder, "GD4251"},
        {"KestrelfetchHttpTaskUrl0", "http://downloads.example/Client/42.51/setup.exe"},
        {"KestrelfetchHttpTaskFile2", "data.7z.002"},
        {ini::kIsComplete, ""},
    };
    for (const auto& [key, value] : start_keys) {
        EXPECT_EQ(ini.GetString(ini::kTaskSection, key), value) << key;
    }
    EXPECT_EQ(h.engine.Count("SetHttpWrappedHandshake 1"), 1);
    // The metainfo is written out under the file's MD5 and named as a file:// location.
    const FakeTask* task = h.Task(1);
    ASSERT_NE(task, nullptr);
    const std::string torrent = h.config.paths.data_folder + "/" + h.config.product.files[1].md5;
    EXPECT_EQ(task->spec.torrent_location, "file://" + torrent);
    EXPECT_EQ(h.disk.Written(torrent), h.config.product.files[1].torrent);
    EXPECT_EQ(task->spec.flags, KF_FLAG_ACCEPTED | KF_FLAG_FULL_PATH | KF_FLAG_P2SP);
    EXPECT_EQ(task->spec.sources, h.config.product.files[1].source_url);

    // The downloaded total, split by 2^31, in the states that download; the time once a second.
    const int64_t five_gib = int64_t{5} << 30;
    h.SetTasks(10, 5000);
    h.ChangeTask(0, [&](FakeTask& t) { t.info.info.bytes_done = five_gib - 2; });
    h.ChangeTask(1, [&](FakeTask& t) { t.info.info.bytes_done = 2; });
    h.Run(3);
    EXPECT_EQ(h.Ini().GetString(ini::kTaskSection, ini::kLastSizeHigh), "2");
    EXPECT_EQ(h.Ini().GetString(ini::kTaskSection, ini::kLastSizeLow), "1073741824");
    EXPECT_EQ(h.Ini().GetString(ini::kTaskSection, ini::kDownloadTime), "3");
    h.Do(action::MainAction{});  // pause
    h.ChangeTask(1, [&](FakeTask& t) { t.info.info.bytes_done = 5; });
    h.Run(2);
    EXPECT_EQ(h.Ini().GetString(ini::kTaskSection, ini::kLastSizeLow), "1073741824");
    EXPECT_EQ(h.Ini().GetString(ini::kTaskSection, ini::kDownloadTime), "3");

    // The close choice only when asked to remember it.
    h.Do(action::CloseWindow{});
    h.Do(action::CloseChoice{1, false});
    EXPECT_EQ(h.Ini().GetString(ini::kTaskSection, ini::kCloseSelection), "");
    h.Do(action::RestoreFromTray{});
    h.Do(action::CloseWindow{});
    h.Do(action::CloseChoice{1, true});
    EXPECT_EQ(h.Ini().GetString(ini::kTaskSection, ini::kCloseSelection), "1");

    // The next start goes on from what was saved, with its time and previous total.
    for (int i = 0; i < 3; ++i) {
        h.disk.PutFile(h.FilePath(i) + ".kftmp", 10);
    }
    h.Make();
    ASSERT_EQ(h.Init(), 1);
    EXPECT_EQ(h.Context().state, DownloadState::kRecover);
    EXPECT_EQ(h.Context().download_time, 3u);
    EXPECT_EQ(h.Context().previous_last_size, five_gib);
}

TEST(ControllerPersistence, AMetainfoThatCannotBeWrittenLeavesTheHttpSource) {
    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    h.disk.release_result = -1;
    h.Do(action::MainAction{});
    const FakeTask* task = h.Task(0);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->spec.torrent_location, "");
    EXPECT_EQ(task->spec.flags, KF_FLAG_ACCEPTED | KF_FLAG_FULL_PATH);
    EXPECT_TRUE(h.engine.Logged("Torent 资源释放失败"));
    EXPECT_EQ(h.events->Count("11400190"), 3);

    // The telemetry configuration is needed: without it the start-up ends.
    ControllerHarness refused;
    refused.disk.release_result = -1;
    EXPECT_EQ(refused.Init(), -2);
    EXPECT_TRUE(refused.Context().exit_requested);
    EXPECT_EQ(refused.events->Count("11400190"), 1);
    // In the temporary folder it will do.
    ControllerHarness temporary;
    temporary.disk.release_result = 1;
    EXPECT_EQ(temporary.Init(), 0);
    EXPECT_TRUE(temporary.engine.Logged("第一次失败"));
}

}  // namespace
}  // namespace kf::app::test
