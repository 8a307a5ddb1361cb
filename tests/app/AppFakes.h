#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/AppClock.h"
#include "app/DiskInfo.h"
#include "app/EngineApi.h"
#include "app/UserMessages.h"
#include "app/platform/Fetcher.h"
#include "app/platform/Launcher.h"
#include "app/platform/PowerOff.h"
#include "engine/base/EventSink.h"

namespace kf::app::test {

// One task of the scripted engine; its handle is its address.
struct FakeTask {
    TaskSpec spec;
    bool recovered = false;
    bool force = false;
    bool complete = false;  // IsTaskComplete's answer
    bool running = true;    // IsTaskRunning's answer
    TaskInfoEx info{};      // QueryTaskInfo's answer
    int32_t speed_limit = -1;
    int32_t source_limit = -1;
    int32_t peer_limit = -1;
    int clears = 0;
    std::vector<std::string> mirrors;
    std::string Name() const;
};

// The engine as the tests script it. Every call is recorded (queries aside) as one line such as
// "CreateAndStartTask setup.exe" or "StopTasks 3"; results come from the queues, 0 when empty.
// Locked, so that a test may look while the controller thread calls it.
class FakeEngine final : public EngineApi {
  public:
    int32_t init_result = KF_OK;
    std::deque<int32_t> create_results;
    std::deque<int32_t> recover_results;
    int32_t start_result = KF_OK;
    int32_t map_port_result = 0;

    void CreateEngineLog() override;
    void ReleaseEngineLog() override;
    void EngineLogSetPathPrefix(const std::string& prefix) override;
    void EngineLogWrite(const std::string& text, int32_t channel) override;
    int32_t InitEngine(const std::string& folder) override;
    int32_t CleanupEngine() override;
    int32_t CreateAndStartTask(const TaskSpec& spec, TaskHandle* handle) override;
    int32_t RecoverAndContinueTask(const TaskSpec& spec, bool force, TaskHandle* handle) override;
    int32_t StopTask(TaskHandle task, bool reset) override;
    int32_t StopTasks(const std::vector<TaskHandle>& tasks, bool reset) override;
    int32_t StartTask(TaskHandle task) override;
    int32_t QueryTaskInfo(TaskHandle task, TaskInfoEx* info) override;
    int32_t IsTaskComplete(TaskHandle task, bool* complete) override;
    int32_t IsTaskRunning(TaskHandle task, bool* running) override;
    int32_t SetTaskSpeedLimit(TaskHandle task, int32_t kib_per_second) override;
    int32_t SetTaskConnectionLimits(TaskHandle task, int32_t sources, int32_t peers) override;
    int32_t ClearMirrorSources(TaskHandle task) override;
    int32_t AddMirrorSources(TaskHandle task, const std::string& url_lines,
                             const std::string& host_lines) override;
    int32_t SetListenPort(int32_t port) override;
    int32_t MapListenPort(const std::string& state_file) override;
    int32_t SetRendezvousServer(const std::string& host, int32_t port) override;
    int32_t SetDhtBootstrapNodes(const std::string& nodes) override;
    int32_t EnableDht(bool enable) override;
    int32_t EnableP2P(bool enable) override;
    void SetHttpWrappedHandshake(bool enable) override;
    int32_t CollectDataUpload(const std::string& config_path, const std::string& game_id,
                              const std::string& app_version, const std::string& game_version,
                              const std::string& channel) override;

    // The newest task of the file named `name`; null when none was made.
    FakeTask* Task(const std::string& name);
    std::vector<std::string> Calls();
    // How many recorded calls start with `prefix`.
    int Count(const std::string& prefix);
    // Whether a log line contains `text`.
    bool Logged(const std::string& text);
    void ClearCalls();
    // Runs `change` on the tasks under the lock.
    template <class Change>
    void Script(Change change) {
        std::lock_guard hold(mutex_);
        change();
    }

  private:
    FakeTask* Known(TaskHandle task);
    void Record(std::string call) { calls_.push_back(std::move(call)); }

    std::mutex mutex_;
    std::vector<std::unique_ptr<FakeTask>> tasks_;
    std::vector<std::string> calls_;
    std::vector<std::string> log_;
};

// A disk of paths the test puts there. Locked like FakeEngine.
class FakeDisk final : public DiskInfo {
  public:
    int64_t free_bytes = int64_t{1} << 40;
    VolumeMode mode = VolumeMode::kPreallocates;
    int release_result = 0;  // what Release answers; a file appears unless it is -1

    FileFacts Stat(const std::string& path) override;
    int64_t FreeBytes(const std::string& path) override;
    int64_t AllocatedBytes(const std::string& path) override;
    VolumeMode ProbeVolume(const std::string& folder) override;
    bool CreateFolders(const std::string& folder) override;
    bool RemoveFile(const std::string& path) override;
    int Release(const std::string& folder, const std::string& name,
                const std::string& bytes) override;

    void PutFile(const std::string& path, int64_t size, uint64_t write_time = 1000);
    void PutFolder(const std::string& path);
    void Erase(const std::string& path);
    std::vector<std::string> Removed();
    std::string Written(const std::string& path);
    void SetFree(int64_t bytes);

  private:
    std::mutex mutex_;
    std::map<std::string, FileFacts> entries_;
    std::map<std::string, std::string> written_;
    std::vector<std::string> removed_;
};

// Time that moves only when the test says so; waiters wake when it passes their deadline.
class FakeClock final : public AppClock {
  public:
    uint64_t NowMs() const override;
    std::string LocalTimeText() const override { return "2026-12-10 06:56:01"; }
    void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   uint64_t deadline_ms) override;
    void Advance(uint64_t ms);

  private:
    mutable std::mutex mutex_;
    uint64_t now_ = 1000000;
    std::vector<std::pair<std::mutex*, std::condition_variable*>> waiters_;
};

class FakeMessages final : public UserMessages {
  public:
    void Show(const std::string& text, const std::string& caption) override;
    std::vector<std::pair<std::string, std::string>> Shown();
    int Count(const std::string& text);

  private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> shown_;
};

class RecordingSink final : public EventSink {
  public:
    void Submit(std::string_view code, std::string_view info) override;
    std::vector<std::pair<std::string, std::string>> Events();
    std::vector<std::string> Codes();
    int Count(const std::string& code);
    // The info of the last event with `code`; empty when none.
    std::string Info(const std::string& code);
    void Clear();

  private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> events_;
};

class FakeLauncher final : public Launcher {
  public:
    int result = 33;
    std::vector<std::pair<std::string, std::string>> opened;  // path, working folder
    std::vector<std::pair<std::string, std::string>> shown;   // folder, selected
    int Open(const std::string& path, const std::string& working_folder) override;
    bool ShowFolder(const std::string& folder, const std::string& select) override;
};

class FakePowerOff final : public PowerOff {
  public:
    bool accept = true;
    std::vector<std::pair<int, std::string>> scheduled;
    int cancels = 0;
    bool Schedule(int delay_seconds, const std::string& message) override;
    bool Cancel() override;
};

class FakeFetcher final : public Fetcher {
  public:
    Result result;
    Result Get(const std::string& url, int timeout_seconds) override;
};

}  // namespace kf::app::test
