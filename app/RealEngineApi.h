#pragma once

#include "app/EngineApi.h"

namespace kf::app {

// The engine itself, through engine/kestrelfetch.h only. Stateless: the engine keeps its own
// state, so any number of these may exist. A TaskSpec text too long for its TaskParams field is
// refused with KF_ERR_PARAM before the engine sees it.
class RealEngineApi final : public EngineApi {
  public:
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
};

}  // namespace kf::app
