#include "app/DownloadStateMachine.h"

#include <algorithm>

#include "app/TaskStatus.h"

namespace kf::app {
namespace {

std::string ErrorCodeText(int32_t code) {
    return "ErrorCode : " + std::to_string(code);
}

}  // namespace

void DownloadStateMachine::Start() {
    ControllerContext& c = context_;
    if (c.services.disk.FreeBytes(c.save_folder) < c.RequiredBytes()) {
        c.Message("当前磁盘空间不足，请选择其他位置存放");
        c.low_space = true;
        return;
    }
    c.Event("11010000", EventReport::Plain({}, EventReport::kHardwareLists));
    persistence_.WriteStartKeys();
    persistence_.WriteSavePath();
    c.services.disk.CreateFolders(c.save_folder);
    persistence_.VolumePreparation();
    if (c.services.engine.InitEngine(c.config.paths.data_folder) != KF_OK) {
        c.Log("Begin Download Task] [环境初始化失败");
        c.Event("11400101", EventReport::Plain("Begin Download Task 环境初始化失败"));
        c.Message("下载启动失败请重试");
        return;
    }
    for (int i = 0; i < 3; ++i) {
        c.files[i].complete = false;
        const int32_t result = factory_.Create(i);
        if (result != KF_OK) {
            c.Message(ErrorCodeText(result));
        }
    }
    c.tasks_started = c.tasks_started || !c.LiveHandles().empty();
    limits_.ApplySpeedLimit();
    limits_.ShareBudgets();
    c.SetState(DownloadState::kPreparing);
    PauseIfStalled();
}

void DownloadStateMachine::Pause(bool with_event) {
    if (with_event) {
        context_.EventWithStatistics("11020000");
    }
    const std::vector<TaskHandle> live = context_.LiveHandles();
    if (!live.empty()) {
        context_.services.engine.StopTasks(live, false);
    }
    context_.SetState(DownloadState::kPause);
}

void DownloadStateMachine::CreateMissingTask(int index) {
    const bool has_record = context_.services.disk.Stat(context_.resume_path[index]).exists;
    const int32_t result = has_record ? factory_.Recover(index, false) : factory_.Create(index);
    if (result != KF_OK) {
        context_.Message(ErrorCodeText(result));
    }
}

void DownloadStateMachine::Resume() {
    ControllerContext& c = context_;
    c.Event("11030000", EventReport::Plain({}));
    bool engine_ready = false;
    for (int i = 0; i < 3; ++i) {
        FileSlot& slot = c.files[i];
        if (persistence_.FinishCheck(i)) {
            continue;
        }
        slot.complete = false;
        if (slot.handle != nullptr) {
            const int32_t result = c.services.engine.StartTask(slot.handle);
            if (result == KF_ERR_UNKNOWN_TASK) {
                slot.handle = nullptr;  // gone from the engine: made anew next time
            }
            if (result != KF_OK) {
                c.Message(ErrorCodeText(result));
            }
            continue;
        }
        if (!engine_ready) {
            engine_ready = c.services.engine.InitEngine(c.config.paths.data_folder) == KF_OK;
        }
        CreateMissingTask(i);
    }
    c.tasks_started = c.tasks_started || !c.LiveHandles().empty();
    c.SetState(DownloadState::kResume);
    limits_.ApplySpeedLimit();
    limits_.ShareBudgets();
    PauseIfStalled();
}

void DownloadStateMachine::PauseIfStalled() {
    if (!IsActiveState(context_.state)) {
        return;
    }
    for (const FileSlot& slot : context_.files) {
        if (!slot.complete && slot.handle == nullptr) {
            Pause(false);
            return;
        }
    }
}

void DownloadStateMachine::QueryTasks() {
    ControllerContext& c = context_;
    int64_t weighted = 0;
    int64_t weights = 0;
    int64_t downloaded = 0;
    for (int i = 0; i < 3; ++i) {
        FileSlot& slot = c.files[i];
        int32_t progress = 0;
        if (slot.handle != nullptr) {
            TaskInfoEx info{};
            slot.query_ok = c.services.engine.QueryTaskInfo(slot.handle, &info) == KF_OK;
            if (slot.query_ok) {
                slot.last = info;
                progress =
                    std::clamp(info.info.progress > 9999 ? 10000 : info.info.progress, 0, 10000);
            }
            downloaded += slot.last.info.bytes_done;
        } else {
            slot.query_ok = false;
            downloaded += std::max<int64_t>(c.services.disk.AllocatedBytes(c.FilePath(i)), 0);
        }
        if (slot.complete) {
            progress = 10000;
        }
        // At least 1 MiB of weight each, so that small files never make this divide by zero.
        const int64_t weight = std::max<int64_t>(c.File(i).size >> 20, 1);
        weighted += weight * progress;
        weights += weight;
    }
    c.overall_progress = static_cast<int32_t>(weighted / weights);
    c.downloaded_total = downloaded;
    for (int i = 0; i < 3; ++i) {
        FileSlot& slot = c.files[i];
        if (slot.handle == nullptr || !slot.query_ok) {
            continue;
        }
        const int32_t status = slot.last.info.status;
        if (status != slot.seen_status) {
            slot.seen_status = status;
            if (status != KF_STATUS_NONE) {
                HandleEngineError(status);
            }
        }
    }
    PauseIfEnded();
}

void DownloadStateMachine::PauseIfEnded() {
    ControllerContext& c = context_;
    if (!IsActiveState(c.state)) {
        return;
    }
    for (const FileSlot& slot : c.files) {
        bool running = true;
        if (slot.handle == nullptr || slot.complete || !slot.query_ok ||
            slot.last.info.progress > 9999 ||
            c.services.engine.IsTaskRunning(slot.handle, &running) != KF_OK || running) {
            continue;
        }
        // The engine keeps a task's last status when it is started again, so an error that
        // comes back is not a new status: the ended thread is what tells.
        if (IsFatalStatus(slot.last.info.status)) {
            HandleEngineError(slot.last.info.status);
        }
        if (IsActiveState(c.state)) {
            c.Message("下载出错，请重试");
            Pause(false);
        }
        return;
    }
}

void DownloadStateMachine::HandleEngineError(int32_t status) {
    ControllerContext& c = context_;
    switch (status) {
        case KF_STATUS_NO_METADATA:
            c.EventWithStatistics("11990202");
            c.Message("网络连接超时，下载失败");
            break;
        case KF_STATUS_DISK_FULL:
            if (IsActiveState(c.state)) {
                Pause(false);
            }
            c.low_space = true;
            c.EventWithStatistics("11990301");
            c.Message("磁盘空间不足，请检查并重新启动下载器！");
            break;
        case KF_STATUS_WRITE_FAILED:
            c.SetState(DownloadState::kFailed);
            c.Message("由于磁盘损坏无法写入，下载失败");
            return;
        case KF_STATUS_NO_SOURCE:
        case KF_STATUS_TORRENT_UNREADABLE:
        case KF_STATUS_IN_USE:
            c.Message("下载出错，请重试");
            break;
        default:
            return;
    }
    // The task's thread has ended: without a pause the download would sit at 0 B/s for ever.
    if (IsFatalStatus(status) && IsActiveState(c.state)) {
        Pause(false);
    }
}

void DownloadStateMachine::SpaceWatch() {
    ControllerContext& c = context_;
    const int64_t free = c.services.disk.FreeBytes(c.save_folder);
    const int64_t required = c.RequiredBytes();
    if (free + c.downloaded_total >= required) {
        c.low_space = false;
        if (c.state == DownloadState::kBack) {
            c.SetState(DownloadState::kReady);
        }
        return;
    }
    // The downloaded total was taken in this tick, so it is fresh.
    if (free + c.downloaded_total + ProductInfo::kReserveBytes >= required) {
        return;
    }
    if (c.state == DownloadState::kReady) {
        c.SetState(DownloadState::kBack);
        c.Message("当前磁盘空间不足，请选择其他位置存放。");
    } else if (c.state == DownloadState::kDownloading) {
        Pause(false);
        c.EventWithStatistics("11990301");
        c.Message("预留磁盘空间不足，下载暂停。");
    }
    c.low_space = true;
}

void DownloadStateMachine::StatusTick() {
    QueryTasks();
    // A pause for want of space is watched on every volume, not only sparse ones: otherwise
    // low_space never clears after a full preallocating disk and continue stays disabled.
    if (context_.space_watch || (context_.low_space && context_.state == DownloadState::kPause)) {
        SpaceWatch();
    }
    if (context_.state == DownloadState::kPreparing && context_.overall_progress > 0) {
        context_.SetState(DownloadState::kReload);
    }
    NoteStateChange();
}

void DownloadStateMachine::SecondTick() {
    ControllerContext& c = context_;
    persistence_.Completion();
    if (IsActiveState(c.state)) {
        ++c.session_seconds;
        ++c.download_time;
        if (c.session_seconds % 300 == 0) {
            c.EventWithStatistics("11050000");
        }
    }
    persistence_.WriteProgress();
    SpeedTick();
    NoteStateChange();
}

void DownloadStateMachine::SpeedTick() {
    ControllerContext& c = context_;
    c.services.engine.EnableP2P(c.p2p_enabled);
    uint64_t total = 0;
    for (const FileSlot& slot : c.files) {
        if (slot.handle != nullptr && !slot.complete && slot.query_ok) {
            total += static_cast<uint64_t>(std::max(slot.last.info.speed, 0));
        }
    }
    switch (c.state) {
        case DownloadState::kPreparing:
        case DownloadState::kDownloading:
        case DownloadState::kResume:
        case DownloadState::kRecover:
        case DownloadState::kReload: {
            if (total > 1024) {
                c.SetState(DownloadState::kDownloading);
                limits_.ShareBudgets();
            }
            // Above the limit the shown speed moves halfway towards it, as the window smooths it.
            const uint64_t limit = static_cast<uint64_t>(std::max(c.speed_limit, 0)) * 1024u;
            const uint64_t previous = c.shown_speed;
            uint64_t shown = total;
            if (limit > 0 && total > limit) {
                shown = previous < limit ? (total + previous) / 2 : (limit + previous) / 2;
            }
            c.shown_speed = static_cast<uint32_t>(std::min<uint64_t>(shown, 0xFFFFFFFFu));
            break;
        }
        default:
            c.shown_speed = 0;
            break;
    }
    // Every active state, not only downloading: with the default source dead nothing arrives,
    // the state stays preparing, and only the list's mirrors and P2P switch can get data going.
    if (IsActiveState(c.state) || c.state == DownloadState::kCheckRecover) {
        // A fetch refused (the one before still runs) is asked for again next second rather
        // than ten minutes later.
        if (c.list_ticks != 0 || mirrors_.Request(FetchRequest::Kind::kMirrors)) {
            c.list_ticks = (c.list_ticks + 1) % 600;
        }
    } else {
        c.list_ticks = 0;
    }
    if (c.state == DownloadState::kCheckRecover) {
        ++c.redraws;
    }
}

void DownloadStateMachine::NoteStateChange() {
    ControllerContext& c = context_;
    if (logged_state_ == c.state && logged_low_space_ == c.low_space) {
        return;
    }
    logged_state_ = c.state;
    logged_low_space_ = c.low_space;
    c.Log("Kestrelfetch Utility: 下载状态改变为" + StateName(c.state), LogChannel::kMessage);
    c.buttons.Apply(c.state, c.low_space);
    if (c.state == DownloadState::kFinished && !c.finished_entered) {
        EnterFinished();
    }
}

void DownloadStateMachine::EnterFinished() {
    ControllerContext& c = context_;
    c.finished_entered = true;
    for (int i = 0; i < 3; ++i) {
        persistence_.WriteFinishInfo(i);
    }
    if (c.tasks_started) {
        c.EventWithStatistics("11060000");
    }
    limits_.ApplySpeedLimit();
    if (c.auto_shutdown) {
        c.Log("Kestrelfetch Utility: 触发自动关机", LogChannel::kMessage);
        install_exit_.ScheduleShutdown();
    }
}

}  // namespace kf::app
