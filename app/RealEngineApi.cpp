#include "app/RealEngineApi.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace kf::app {
namespace {

bool CopyText(char (&field)[KF_TEXT_MAX], const std::string& text) {
    if (text.size() >= KF_TEXT_MAX || text.find('\0') != std::string::npos) {
        return false;
    }
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

// A zeroed record filled from `spec`; null when a text does not fit. `spec` must outlive the
// record, which points at its sources text.
std::unique_ptr<TaskParams> ParamsFor(const TaskSpec& spec) {
    auto params = std::make_unique<TaskParams>();
    if (!CopyText(params->torrent_location, spec.torrent_location) ||
        !CopyText(params->target_path, spec.target_path) ||
        !CopyText(params->resume_path, spec.resume_path)) {
        return nullptr;
    }
    params->sources = spec.sources.c_str();
    params->flags = spec.flags;
    return params;
}

}  // namespace

void RealEngineApi::CreateEngineLog() {
    ::CreateEngineLog();
}

void RealEngineApi::ReleaseEngineLog() {
    ::ReleaseEngineLog();
}

void RealEngineApi::EngineLogSetPathPrefix(const std::string& prefix) {
    ::EngineLogSetPathPrefix(prefix.c_str());
}

void RealEngineApi::EngineLogWrite(const std::string& text, int32_t channel) {
    ::EngineLogWrite(text.c_str(), channel, channel);
}

int32_t RealEngineApi::InitEngine(const std::string& folder) {
    return ::InitEngine(folder.c_str());
}

int32_t RealEngineApi::CleanupEngine() {
    return ::CleanupEngine();
}

int32_t RealEngineApi::CreateAndStartTask(const TaskSpec& spec, TaskHandle* handle) {
    const std::unique_ptr<TaskParams> params = ParamsFor(spec);
    if (!params) {
        return KF_ERR_PARAM;
    }
    const int32_t result = ::CreateAndStartTask(params.get());
    if (result == KF_OK) {
        *handle = params->handle;
    }
    return result;
}

int32_t RealEngineApi::RecoverAndContinueTask(const TaskSpec& spec, bool force,
                                              TaskHandle* handle) {
    const std::unique_ptr<TaskParams> params = ParamsFor(spec);
    if (!params) {
        return KF_ERR_PARAM;
    }
    const int32_t result = ::RecoverAndContinueTask(params.get(), force ? 1 : 0);
    if (result == KF_OK) {
        *handle = params->handle;
    }
    return result;
}

int32_t RealEngineApi::StopTask(TaskHandle task, bool reset) {
    return ::StopTask(task, reset ? 1 : 0);
}

int32_t RealEngineApi::StopTasks(const std::vector<TaskHandle>& tasks, bool reset) {
    return ::StopTasks(tasks.data(), static_cast<int32_t>(tasks.size()), reset ? 1 : 0, nullptr);
}

int32_t RealEngineApi::StartTask(TaskHandle task) {
    return ::StartTask(task);
}

int32_t RealEngineApi::QueryTaskInfo(TaskHandle task, TaskInfoEx* info) {
    return ::QueryTaskInfoEx(task, info);
}

int32_t RealEngineApi::IsTaskComplete(TaskHandle task, bool* complete) {
    int32_t flag = 0;
    const int32_t result = ::IsTaskComplete(task, &flag);
    *complete = result == KF_OK && flag != 0;
    return result;
}

int32_t RealEngineApi::IsTaskRunning(TaskHandle task, bool* running) {
    int32_t flag = 0;
    const int32_t result = ::IsTaskRunning(task, &flag);
    *running = result == KF_OK && flag != 0;
    return result;
}

int32_t RealEngineApi::SetTaskSpeedLimit(TaskHandle task, int32_t kib_per_second) {
    return ::SetTaskSpeedLimit(task, 1, kib_per_second);
}

int32_t RealEngineApi::SetTaskConnectionLimits(TaskHandle task, int32_t sources, int32_t peers) {
    return ::SetTaskConnectionLimits(task, sources, peers);
}

int32_t RealEngineApi::ClearMirrorSources(TaskHandle task) {
    return ::ClearMirrorSources(task);
}

int32_t RealEngineApi::AddMirrorSources(TaskHandle task, const std::string& url_lines,
                                        const std::string& host_lines) {
    return ::AddMirrorSources(task, url_lines.c_str(), host_lines.c_str());
}

int32_t RealEngineApi::SetListenPort(int32_t port) {
    return ::SetListenPort(port);
}

int32_t RealEngineApi::MapListenPort(const std::string& state_file) {
    // The gateway search is LAN multicast: where a test harness keeps the engine off the LAN
    // (KESTRELFETCH_LAN_INTERFACE=off) nothing is searched and the engine keeps its default port;
    // an address there pins the search to that interface as it pins LAN discovery.
    const char* lan = std::getenv("KESTRELFETCH_LAN_INTERFACE");
    if (lan != nullptr && std::string_view(lan) == "off") {
        return 0;
    }
    KfPortMapOptions options{};
    options.multicast_interface = lan;
    options.state_file = state_file.c_str();
    return std::max(::MapListenPort(&options), 0);
}

int32_t RealEngineApi::SetRendezvousServer(const std::string& host, int32_t port) {
    return ::SetRendezvousServer(host.c_str(), port);
}

int32_t RealEngineApi::SetDhtBootstrapNodes(const std::string& nodes) {
    return ::SetDhtBootstrapNodes(nodes.c_str());
}

int32_t RealEngineApi::EnableDht(bool enable) {
    return ::EnableDht(enable ? 1 : 0);
}

int32_t RealEngineApi::EnableP2P(bool enable) {
    return ::EnableP2P(enable ? 1 : 0);
}

void RealEngineApi::SetHttpWrappedHandshake(bool enable) {
    ::SetHttpWrappedHandshake(enable ? 1 : 0);
}

int32_t RealEngineApi::CollectDataUpload(const std::string& config_path, const std::string& game_id,
                                         const std::string& app_version,
                                         const std::string& game_version,
                                         const std::string& channel) {
    return ::CollectDataUpload(config_path.c_str(), game_id.c_str(), app_version.c_str(),
                               game_version.c_str(), channel.c_str());
}

}  // namespace kf::app
