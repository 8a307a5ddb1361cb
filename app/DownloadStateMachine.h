#pragma once

#include <optional>

#include "app/ControllerContext.h"
#include "app/InstallExit.h"
#include "app/MirrorUpdater.h"
#include "app/TaskFactory.h"
#include "app/TaskLimits.h"
#include "app/TaskPersistence.h"

namespace kf::app {

// The download's states and what moves them: start, pause and resume of all tasks together,
// the 100 ms status tick (progress, engine errors, the space watch), the 1 s tick (completion,
// download time, speeds, the resource list's schedule) and the state log with the entry into
// finished.
//
// A download that lacks a task for an unfinished file (its creation failed, or its task ended
// with a fatal status) is paused with the reason shown, so that "continue" tries again instead
// of leaving it at 0 B/s for ever.
//
// Owner and threads: a part of CDownloadController; the controller thread only.
class DownloadStateMachine {
  public:
    DownloadStateMachine(ControllerContext& context, TaskPersistence& persistence,
                         TaskFactory& factory, TaskLimits& limits, InstallExit& install_exit,
                         MirrorUpdater& mirrors)
        : context_(context),
          persistence_(persistence),
          factory_(factory),
          limits_(limits),
          install_exit_(install_exit),
          mirrors_(mirrors) {}

    void Start();
    // `with_event`: the user paused (event "11020000").
    void Pause(bool with_event);
    void Resume();
    // Pauses an active download in which an unfinished file has no task.
    void PauseIfStalled();

    void StatusTick();
    void SecondTick();
    // The state log: a change of state or low_space is logged, the buttons follow, and the first
    // entry into finished is acted on.
    void NoteStateChange();

  private:
    void QueryTasks();
    void HandleEngineError(int32_t status);
    // In an active state, an unfinished task whose thread has ended pauses the download with
    // the reason its status gives.
    void PauseIfEnded();
    void SpaceWatch();
    void SpeedTick();
    void EnterFinished();
    // A task created again by "continue" (its earlier creation failed): recover it when its
    // resume record exists.
    void CreateMissingTask(int index);

    ControllerContext& context_;
    TaskPersistence& persistence_;
    TaskFactory& factory_;
    TaskLimits& limits_;
    InstallExit& install_exit_;
    MirrorUpdater& mirrors_;
    std::optional<DownloadState> logged_state_;
    bool logged_low_space_ = false;
};

}  // namespace kf::app
