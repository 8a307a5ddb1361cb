#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/AppClock.h"
#include "app/ButtonPanel.h"
#include "app/ControllerAction.h"
#include "app/ControllerConfig.h"
#include "app/ControllerSnapshot.h"
#include "app/DiskInfo.h"
#include "app/DownloadState.h"
#include "app/EngineApi.h"
#include "app/EventReport.h"
#include "app/IniFile.h"
#include "app/UserMessages.h"
#include "app/platform/Launcher.h"
#include "app/platform/PowerOff.h"
#include "engine/base/EventSink.h"
#include "engine/base/LogChannel.h"

namespace kf::app {

// The services the controller uses; all outlive it.
struct ControllerServices {
    EngineApi& engine;
    DiskInfo& disk;
    AppClock& clock;
    UserMessages& messages;
    Launcher& launcher;
    PowerOff& power;
    std::shared_ptr<EventSink> events;  // null: the process-wide sink
};

// One of the three files as the controller tracks it.
struct FileSlot {
    TaskHandle handle = nullptr;  // the live engine task, if any
    bool complete = false;        // finished and its final file seen
    bool query_ok = false;        // the last QueryTaskInfo succeeded
    TaskInfoEx last{};            // the last successful query
    int32_t seen_status = 0;      // the status the error table last compared
};

// The controller's state and services, shared by the classes that make up CDownloadController
// (start-up, persistence, state machine, limits, verification, install and exit).
//
// Owner and threads: CDownloadController owns it; only the controller thread touches it.
struct ControllerContext {
    ControllerContext(ControllerConfig config_in, ControllerServices services_in);

    // Logs a line on the engine log's `channel` (also its level).
    void Log(const std::string& text, LogChannel channel = LogChannel::kApplication);
    void Event(std::string_view code, const std::string& info);
    // A "full" event: the statistics record and an optional error message.
    void EventWithStatistics(std::string_view code, const std::string& error_message = {});
    void Message(const std::string& text, const std::string& caption = UserMessages::kTitle);
    // Changes the state; the state log and the buttons follow in NoteStateChange.
    void SetState(DownloadState next) { state = next; }

    const ProductFile& File(int index) const { return config.product.files[index]; }
    // save_folder/name of file `index`.
    std::string FilePath(int index) const;
    // The three sizes plus the 100 MiB reserve.
    int64_t RequiredBytes() const { return config.product.RequiredBytes(); }
    // The three sizes: what the window shows as the total.
    int64_t TotalBytes() const { return config.product.TotalBytes(); }
    std::vector<TaskHandle> LiveHandles() const;
    // The files whose tasks the budgets and the speed limit are shared among: a live task, and
    // not complete or being repaired.
    std::vector<int> ActiveFiles() const;
    DownloadStatistics Statistics() const;

    const ControllerConfig config;
    ControllerServices services;
    IniFile ini;

    // What the workers are asked through; set by the controller thread (tests set their own).
    std::function<bool(const DigestRequest&)> start_digest;
    std::function<bool(const FetchRequest&)> start_fetch;

    DownloadState state = DownloadState::kReady;
    bool low_space = false;
    bool space_watch = false;
    ButtonPanel buttons;
    Question question = Question::kNone;

    std::string save_folder;
    std::string task_hash;
    std::string setup_entry;
    std::array<std::string, 3> resume_path;
    int32_t http_conn_total = 36;
    int32_t bt_peer_total = 108;
    int32_t speed_limit = 0;
    bool p2p_enabled = false;
    bool auto_shutdown = false;

    bool user_exit = false;
    bool installer_launched = false;
    bool exit_requested = false;
    bool in_tray = false;
    bool expired = false;
    bool install_failed = false;

    std::array<FileSlot, 3> files;
    int32_t overall_progress = 0;
    int64_t downloaded_total = 0;
    uint32_t shown_speed = 0;
    uint32_t session_seconds = 0;    // active seconds since the start keys were last written
    uint32_t download_time = 0;      // active seconds over all sessions (saved)
    int64_t previous_last_size = 0;  // the downloaded total the previous session saved
    int64_t saved_last_size = -1;    // what this session wrote last
    uint32_t list_ticks = 0;         // speed refreshes since the last resource-list fetch
    bool tasks_started = false;      // tasks were created in this process
    bool finished_entered = false;   // the entry into finished has been acted on
    uint32_t redraws = 0;            // 1 s refreshes in checkrecover (the speed line's rhythm)

    // Verification (the verifier writes, the snapshot reads).
    int verify_index = 0;
    int32_t verify_progress = 0;
    int32_t repair_progress = 0;
    uint32_t repair_speed = 0;
    int repair_index = -1;  // the file whose task is being repaired; -1: none
    bool repaired = false;
    bool all_verified = false;
    bool repair_error = false;

    std::optional<uint64_t> shutdown_deadline_ms;
};

}  // namespace kf::app
