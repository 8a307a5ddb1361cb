#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppFakes.h"
#include "app/CDownloadController.h"
#include "app/IniFile.h"
#include "support/TempDir.h"

namespace kf::app::test {

// A controller on fakes, driven by hand: the test calls its ticks and actions, and answers the
// digests and fetches it asks for. The INI files are real files in a temporary folder; the
// save folder and the files in it live on the fake disk.
struct ControllerHarness {
    static constexpr int64_t kMiB = 1 << 20;

    // The design's sizes unless told otherwise.
    explicit ControllerHarness(std::array<int64_t, 3> sizes = {115031392, 1073741824, 977896940});

    // Builds the controller (again, as a restart would) without running Init.
    void Make();
    int Init();
    const ControllerContext& Context() const { return controller->Context(); }
    ControllerSnapshot Snapshot() const { return controller->Snapshot(); }
    void Do(ControllerAction action) { controller->Handle(action); }
    // `seconds` × (ten status ticks and one second tick), the clock moving along.
    void Run(int seconds);
    void Tick() { controller->Tick100(); }

    std::string FilePath(int index) const;
    const std::string& Name(int index) const { return config.product.files[index].name; }
    FakeTask* Task(int index) { return engine.Task(Name(index)); }
    // Runs `change` on the newest task of file `index` under the engine's lock.
    template <class Change>
    void ChangeTask(int index, Change change) {
        FakeTask* task = Task(index);
        ASSERT_NE(task, nullptr);
        engine.Script([&] { change(*task); });
    }
    IniFile Ini() const { return IniFile(config.paths.config_file); }
    // Every task of the engine reports this.
    void SetTasks(int32_t progress, int32_t speed, int32_t status = 0);
    // The engine completes file `index` and its final file appears.
    void CompleteFile(int index);
    // Answers the newest digest request: the file's own MD5, or a wrong one.
    void AnswerDigest(bool match);

    // The saved state of an earlier run that downloaded into `save_folder` (its four start keys,
    // and "COMPLETE" when `complete`), and the finish information of one file.
    void SaveState(const std::string& save_folder, bool complete);
    void SaveFinishInfo(int index, uint64_t write_time, int64_t size);

    // From a fresh start: ready → start → (speed) downloading.
    void ReachDownloading();
    // ... → all three complete → finished.
    void ReachFinished();
    // finished → verify question answered yes, the first digest asked for.
    void ReachChecking(bool install_after = true);

    kf::test::TempDir dir;
    FakeEngine engine;
    FakeDisk disk;
    FakeClock clock;
    FakeMessages messages;
    FakeLauncher launcher;
    FakePowerOff power;
    std::shared_ptr<RecordingSink> events = std::make_shared<RecordingSink>();
    ControllerConfig config;
    std::unique_ptr<CDownloadController> controller;
    std::vector<DigestRequest> digests;
    std::vector<FetchRequest> fetches;
    bool digests_refused = false;
    bool fetches_refused = false;
};

}  // namespace kf::app::test
