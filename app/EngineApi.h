#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/kestrelfetch.h"

namespace kf::app {

using TaskHandle = KfTaskHandle;

// What the controller asks of a task; the real engine copies it into a TaskParams record.
struct TaskSpec {
    std::string torrent_location;  // "file://" + the released metainfo, or empty
    std::string sources;           // one address per line
    std::string target_path;       // the file itself (KF_FLAG_FULL_PATH)
    std::string resume_path;
    uint32_t flags = 0;
};

// The engine calls the downloader makes, one for one with engine/kestrelfetch.h, so that the
// controller can run against a scripted engine in its tests.
//
// Threads: the controller thread makes every call; implementations need no lock of their own.
// Results: the engine's result codes (KF_OK, KF_ERR_...); a handle is written only on success.
class EngineApi {
  public:
    virtual ~EngineApi() = default;

    virtual void CreateEngineLog() = 0;
    virtual void ReleaseEngineLog() = 0;
    virtual void EngineLogSetPathPrefix(const std::string& prefix) = 0;
    // One line on `channel`, which is also its level.
    virtual void EngineLogWrite(const std::string& text, int32_t channel) = 0;

    virtual int32_t InitEngine(const std::string& folder) = 0;
    virtual int32_t CleanupEngine() = 0;
    virtual int32_t CreateAndStartTask(const TaskSpec& spec, TaskHandle* handle) = 0;
    virtual int32_t RecoverAndContinueTask(const TaskSpec& spec, bool force,
                                           TaskHandle* handle) = 0;
    virtual int32_t StopTask(TaskHandle task, bool reset) = 0;
    virtual int32_t StopTasks(const std::vector<TaskHandle>& tasks, bool reset) = 0;
    virtual int32_t StartTask(TaskHandle task) = 0;
    virtual int32_t QueryTaskInfo(TaskHandle task, TaskInfoEx* info) = 0;
    virtual int32_t IsTaskComplete(TaskHandle task, bool* complete) = 0;
    // Whether the task's thread still runs (it ends when stopped or after a fatal status).
    virtual int32_t IsTaskRunning(TaskHandle task, bool* running) = 0;
    // The download direction only; 0 = unlimited.
    virtual int32_t SetTaskSpeedLimit(TaskHandle task, int32_t kib_per_second) = 0;
    virtual int32_t SetTaskConnectionLimits(TaskHandle task, int32_t sources, int32_t peers) = 0;
    virtual int32_t ClearMirrorSources(TaskHandle task) = 0;
    virtual int32_t AddMirrorSources(TaskHandle task, const std::string& url_lines,
                                     const std::string& host_lines) = 0;
    virtual int32_t SetListenPort(int32_t port) = 0;
    // Chooses the listen port and has the LAN's gateway forward it (MapListenPort with the default
    // search), remembering it in `state_file` for the next run: the port, or 0 (also where the
    // environment keeps the engine off the LAN, KESTRELFETCH_LAN_INTERFACE=off).
    virtual int32_t MapListenPort(const std::string& state_file) = 0;
    virtual int32_t SetRendezvousServer(const std::string& host, int32_t port) = 0;
    // "host:port" entries separated by commas; and the DHT switch.
    virtual int32_t SetDhtBootstrapNodes(const std::string& nodes) = 0;
    virtual int32_t EnableDht(bool enable) = 0;
    virtual int32_t EnableP2P(bool enable) = 0;
    virtual void SetHttpWrappedHandshake(bool enable) = 0;

    // Starts the download report (CollectDataUpload) with the data-upload configuration file;
    // from then on the events the controller submits reach the collection service.
    virtual int32_t CollectDataUpload(const std::string& config_path, const std::string& game_id,
                                      const std::string& app_version,
                                      const std::string& game_version,
                                      const std::string& channel) = 0;
};

}  // namespace kf::app
