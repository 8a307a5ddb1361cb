#include "AppFakes.h"

namespace kf::app::test {

std::string FakeTask::Name() const {
    const size_t slash = spec.target_path.find_last_of('/');
    return slash == std::string::npos ? spec.target_path : spec.target_path.substr(slash + 1);
}

void FakeEngine::CreateEngineLog() {
    std::lock_guard hold(mutex_);
    Record("CreateEngineLog");
}

void FakeEngine::ReleaseEngineLog() {
    std::lock_guard hold(mutex_);
    Record("ReleaseEngineLog");
}

int32_t FakeEngine::CollectDataUpload(const std::string& config_path, const std::string& game_id,
                                      const std::string& app_version,
                                      const std::string& game_version, const std::string& channel) {
    std::lock_guard hold(mutex_);
    Record("CollectDataUpload " + config_path + " " + game_id + " " + app_version + " " +
           game_version + " " + channel);
    return KF_OK;
}

void FakeEngine::EngineLogSetPathPrefix(const std::string& prefix) {
    std::lock_guard hold(mutex_);
    Record("EngineLogSetPathPrefix " + prefix);
}

void FakeEngine::EngineLogWrite(const std::string& text, int32_t channel) {
    std::lock_guard hold(mutex_);
    log_.push_back(std::to_string(channel) + " " + text);
}

int32_t FakeEngine::InitEngine(const std::string&) {
    std::lock_guard hold(mutex_);
    Record("InitEngine");
    return init_result;
}

int32_t FakeEngine::CleanupEngine() {
    std::lock_guard hold(mutex_);
    Record("CleanupEngine");
    return KF_OK;
}

int32_t FakeEngine::CreateAndStartTask(const TaskSpec& spec, TaskHandle* handle) {
    std::lock_guard hold(mutex_);
    auto task = std::make_unique<FakeTask>();
    task->spec = spec;
    Record("CreateAndStartTask " + task->Name());
    const int32_t result = create_results.empty() ? KF_OK : create_results.front();
    if (!create_results.empty()) {
        create_results.pop_front();
    }
    if (result == KF_OK) {
        *handle = task.get();
        tasks_.push_back(std::move(task));
    }
    return result;
}

int32_t FakeEngine::RecoverAndContinueTask(const TaskSpec& spec, bool force, TaskHandle* handle) {
    std::lock_guard hold(mutex_);
    auto task = std::make_unique<FakeTask>();
    task->spec = spec;
    task->recovered = true;
    task->force = force;
    Record("RecoverAndContinueTask " + task->Name() + (force ? " force" : ""));
    const int32_t result = recover_results.empty() ? KF_OK : recover_results.front();
    if (!recover_results.empty()) {
        recover_results.pop_front();
    }
    if (result == KF_OK) {
        *handle = task.get();
        tasks_.push_back(std::move(task));
    }
    return result;
}

FakeTask* FakeEngine::Known(TaskHandle task) {
    for (const auto& known : tasks_) {
        if (known.get() == task) {
            return known.get();
        }
    }
    return nullptr;
}

int32_t FakeEngine::StopTask(TaskHandle task, bool) {
    std::lock_guard hold(mutex_);
    FakeTask* known = Known(task);
    if (known == nullptr) {
        return KF_ERR_UNKNOWN_TASK;
    }
    Record("StopTask " + known->Name());
    known->running = false;
    return KF_OK;
}

int32_t FakeEngine::StopTasks(const std::vector<TaskHandle>& tasks, bool) {
    std::lock_guard hold(mutex_);
    Record("StopTasks " + std::to_string(tasks.size()));
    for (const TaskHandle task : tasks) {
        if (FakeTask* known = Known(task)) {
            known->running = false;
        }
    }
    return KF_OK;
}

int32_t FakeEngine::StartTask(TaskHandle task) {
    std::lock_guard hold(mutex_);
    FakeTask* known = Known(task);
    if (known == nullptr) {
        return KF_ERR_UNKNOWN_TASK;
    }
    Record("StartTask " + known->Name());
    if (start_result == KF_OK) {
        known->running = true;
    }
    return start_result;
}

int32_t FakeEngine::QueryTaskInfo(TaskHandle task, TaskInfoEx* info) {
    std::lock_guard hold(mutex_);
    FakeTask* known = Known(task);
    if (known == nullptr) {
        return KF_ERR_UNKNOWN_TASK;
    }
    *info = known->info;
    return KF_OK;
}

int32_t FakeEngine::IsTaskComplete(TaskHandle task, bool* complete) {
    std::lock_guard hold(mutex_);
    FakeTask* known = Known(task);
    if (known == nullptr) {
        return KF_ERR_UNKNOWN_TASK;
    }
    *complete = known->complete;
    return KF_OK;
}

int32_t FakeEngine::IsTaskRunning(TaskHandle task, bool* running) {
    std::lock_guard hold(mutex_);
    FakeTask* known = Known(task);
    if (known == nullptr) {
        return KF_ERR_UNKNOWN_TASK;
    }
    *running = known->running;
    return KF_OK;
}

int32_t FakeEngine::SetTaskSpeedLimit(TaskHandle task, int32_t kib_per_second) {
    std::lock_guard hold(mutex_);
    FakeTask* known = Known(task);
    if (known == nullptr) {
        return KF_ERR_UNKNOWN_TASK;
    }
    Record("SetTaskSpeedLimit " + known->Name() + " " + std::to_string(kib_per_second));
    known->speed_limit = kib_per_second;
    return KF_OK;
}

int32_t FakeEngine::SetTaskConnectionLimits(TaskHandle task, int32_t sources, int32_t peers) {
    std::lock_guard hold(mutex_);
    FakeTask* known = Known(task);
    if (known == nullptr) {
        return KF_ERR_UNKNOWN_TASK;
    }
    Record("SetTaskConnectionLimits " + known->Name() + " " + std::to_string(sources) + " " +
           std::to_string(peers));
    known->source_limit = sources;
    known->peer_limit = peers;
    return KF_OK;
}

int32_t FakeEngine::ClearMirrorSources(TaskHandle task) {
    std::lock_guard hold(mutex_);
    FakeTask* known = Known(task);
    if (known == nullptr) {
        return KF_ERR_UNKNOWN_TASK;
    }
    Record("ClearMirrorSources " + known->Name());
    ++known->clears;
    known->mirrors.clear();
    return KF_OK;
}

int32_t FakeEngine::AddMirrorSources(TaskHandle task, const std::string& url_lines,
                                     const std::string& host_lines) {
    std::lock_guard hold(mutex_);
    FakeTask* known = Known(task);
    if (known == nullptr) {
        return KF_ERR_UNKNOWN_TASK;
    }
    Record("AddMirrorSources " + known->Name() + " " + url_lines + "|" + host_lines);
    known->mirrors.push_back(url_lines);
    return KF_OK;
}

int32_t FakeEngine::SetRendezvousServer(const std::string& host, int32_t port) {
    std::lock_guard hold(mutex_);
    Record("SetRendezvousServer " + host + ":" + std::to_string(port));
    return KF_OK;
}

int32_t FakeEngine::SetDhtBootstrapNodes(const std::string& nodes) {
    std::lock_guard hold(mutex_);
    Record("SetDhtBootstrapNodes " + nodes);
    return KF_OK;
}

int32_t FakeEngine::EnableDht(bool enable) {
    std::lock_guard hold(mutex_);
    Record(enable ? "EnableDht 1" : "EnableDht 0");
    return KF_OK;
}

int32_t FakeEngine::SetListenPort(int32_t port) {
    std::lock_guard hold(mutex_);
    Record("SetListenPort " + std::to_string(port));
    return KF_OK;
}

int32_t FakeEngine::MapListenPort(const std::string& state_file) {
    std::lock_guard hold(mutex_);
    Record("MapListenPort " + state_file);
    return map_port_result;
}

int32_t FakeEngine::EnableP2P(bool enable) {
    std::lock_guard hold(mutex_);
    Record(std::string("EnableP2P ") + (enable ? "1" : "0"));
    return KF_OK;
}

void FakeEngine::SetHttpWrappedHandshake(bool enable) {
    std::lock_guard hold(mutex_);
    Record(std::string("SetHttpWrappedHandshake ") + (enable ? "1" : "0"));
}

FakeTask* FakeEngine::Task(const std::string& name) {
    std::lock_guard hold(mutex_);
    for (auto it = tasks_.rbegin(); it != tasks_.rend(); ++it) {
        if ((*it)->Name() == name) {
            return it->get();
        }
    }
    return nullptr;
}

std::vector<std::string> FakeEngine::Calls() {
    std::lock_guard hold(mutex_);
    return calls_;
}

int FakeEngine::Count(const std::string& prefix) {
    std::lock_guard hold(mutex_);
    int count = 0;
    for (const std::string& call : calls_) {
        count += call.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

bool FakeEngine::Logged(const std::string& text) {
    std::lock_guard hold(mutex_);
    for (const std::string& line : log_) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void FakeEngine::ClearCalls() {
    std::lock_guard hold(mutex_);
    calls_.clear();
}

DiskInfo::FileFacts FakeDisk::Stat(const std::string& path) {
    std::lock_guard hold(mutex_);
    const auto found = entries_.find(path);
    return found == entries_.end() ? FileFacts{} : found->second;
}

int64_t FakeDisk::FreeBytes(const std::string&) {
    std::lock_guard hold(mutex_);
    return free_bytes;
}

int64_t FakeDisk::AllocatedBytes(const std::string& path) {
    std::lock_guard hold(mutex_);
    for (const std::string& name : {path, path + ".kftmp"}) {
        const auto found = entries_.find(name);
        if (found != entries_.end()) {
            return found->second.size;
        }
    }
    return 0;
}

DiskInfo::VolumeMode FakeDisk::ProbeVolume(const std::string&) {
    std::lock_guard hold(mutex_);
    return mode;
}

bool FakeDisk::CreateFolders(const std::string& folder) {
    std::lock_guard hold(mutex_);
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    entries_[path] = FileFacts{true, true, 0, 0};
    return true;
}

bool FakeDisk::RemoveFile(const std::string& path) {
    std::lock_guard hold(mutex_);
    removed_.push_back(path);
    entries_.erase(path);
    return true;
}

int FakeDisk::Release(const std::string& folder, const std::string& name,
                      const std::string& bytes) {
    std::lock_guard hold(mutex_);
    if (release_result >= 0) {
        const std::string path = (release_result == 0 ? folder : "/tmp") + "/" + name;
        written_[path] = bytes;
        entries_[path] = FileFacts{true, false, static_cast<int64_t>(bytes.size()), 1};
    }
    return release_result;
}

void FakeDisk::PutFile(const std::string& path, int64_t size, uint64_t write_time) {
    std::lock_guard hold(mutex_);
    entries_[path] = FileFacts{true, false, size, write_time};
}

void FakeDisk::PutFolder(const std::string& path) {
    std::lock_guard hold(mutex_);
    entries_[path] = FileFacts{true, true, 0, 0};
}

void FakeDisk::Erase(const std::string& path) {
    std::lock_guard hold(mutex_);
    entries_.erase(path);
}

std::vector<std::string> FakeDisk::Removed() {
    std::lock_guard hold(mutex_);
    return removed_;
}

std::string FakeDisk::Written(const std::string& path) {
    std::lock_guard hold(mutex_);
    const auto found = written_.find(path);
    return found == written_.end() ? std::string() : found->second;
}

void FakeDisk::SetFree(int64_t bytes) {
    std::lock_guard hold(mutex_);
    free_bytes = bytes;
}

uint64_t FakeClock::NowMs() const {
    std::lock_guard hold(mutex_);
    return now_;
}

void FakeClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          uint64_t deadline_ms) {
    const std::pair<std::mutex*, std::condition_variable*> waiter{lock.mutex(), &cv};
    {
        // Registered before the time is read: an Advance after this point wakes the waiter, one
        // before it is seen in the time.
        std::lock_guard hold(mutex_);
        if (now_ >= deadline_ms) {
            return;
        }
        waiters_.push_back(waiter);
    }
    cv.wait(lock);
    std::lock_guard hold(mutex_);
    for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
        if (*it == waiter) {
            waiters_.erase(it);
            break;
        }
    }
}

void FakeClock::Advance(uint64_t ms) {
    std::vector<std::pair<std::mutex*, std::condition_variable*>> waiters;
    {
        std::lock_guard hold(mutex_);
        now_ += ms;
        waiters = waiters_;
    }
    for (const auto& [mutex, cv] : waiters) {
        std::lock_guard hold(*mutex);
        cv->notify_all();
    }
}

void FakeMessages::Show(const std::string& text, const std::string& caption) {
    std::lock_guard hold(mutex_);
    shown_.emplace_back(text, caption);
}

std::vector<std::pair<std::string, std::string>> FakeMessages::Shown() {
    std::lock_guard hold(mutex_);
    return shown_;
}

int FakeMessages::Count(const std::string& text) {
    std::lock_guard hold(mutex_);
    int count = 0;
    for (const auto& shown : shown_) {
        count += shown.first == text ? 1 : 0;
    }
    return count;
}

void RecordingSink::Submit(std::string_view code, std::string_view info) {
    std::lock_guard hold(mutex_);
    events_.emplace_back(code, info);
}

std::vector<std::pair<std::string, std::string>> RecordingSink::Events() {
    std::lock_guard hold(mutex_);
    return events_;
}

std::vector<std::string> RecordingSink::Codes() {
    std::lock_guard hold(mutex_);
    std::vector<std::string> codes;
    for (const auto& event : events_) {
        codes.push_back(event.first);
    }
    return codes;
}

int RecordingSink::Count(const std::string& code) {
    std::lock_guard hold(mutex_);
    int count = 0;
    for (const auto& event : events_) {
        count += event.first == code ? 1 : 0;
    }
    return count;
}

std::string RecordingSink::Info(const std::string& code) {
    std::lock_guard hold(mutex_);
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
        if (it->first == code) {
            return it->second;
        }
    }
    return {};
}

void RecordingSink::Clear() {
    std::lock_guard hold(mutex_);
    events_.clear();
}

int FakeLauncher::Open(const std::string& path, const std::string& working_folder) {
    opened.emplace_back(path, working_folder);
    return result;
}

bool FakeLauncher::ShowFolder(const std::string& folder, const std::string& select) {
    shown.emplace_back(folder, select);
    return true;
}

bool FakePowerOff::Schedule(int delay_seconds, const std::string& message) {
    scheduled.emplace_back(delay_seconds, message);
    return accept;
}

bool FakePowerOff::Cancel() {
    ++cancels;
    return true;
}

Fetcher::Result FakeFetcher::Get(const std::string&, int) {
    return result;
}

}  // namespace kf::app::test
