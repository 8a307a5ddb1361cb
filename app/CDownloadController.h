#pragma once

#include <cstdint>
#include <functional>

#include "app/ControllerAction.h"
#include "app/ControllerConfig.h"
#include "app/ControllerContext.h"
#include "app/ControllerSnapshot.h"
#include "app/DownloadStateMachine.h"
#include "app/InstallExit.h"
#include "app/MirrorUpdater.h"
#include "app/TaskFactory.h"
#include "app/TaskLimits.h"
#include "app/TaskPersistence.h"
#include "app/Verifier.h"

namespace kf::app {

// The downloader's controller: it owns the download's state, makes every engine call, and
// answers the user's actions and its clock's ticks. Its parts hold one concern each: start-up
// here; the saved state in TaskPersistence; states and ticks in DownloadStateMachine; budgets and
// the speed limit in TaskLimits; the MD5 check and repair in Verifier; install, close and exit in
// InstallExit; the resource list in MirrorUpdater.
//
// Owner and threads: ControllerThread owns it and calls it from its own thread only (tests call
// it directly from theirs). Nothing in it is shared with another thread: workers are reached
// through the two start functions, and their answers come back as actions.
class CDownloadController {
  public:
    CDownloadController(ControllerConfig config, ControllerServices services);
    CDownloadController(const CDownloadController&) = delete;
    CDownloadController& operator=(const CDownloadController&) = delete;

    // How the controller reaches its workers (see ControllerContext).
    void SetWorkers(std::function<bool(const DigestRequest&)> start_digest,
                    std::function<bool(const FetchRequest&)> start_fetch);

    // Start-up: the engine log, the data folder, the telemetry configuration, the listen port,
    // the connection budget and the start decision. -1 nothing to download, -2 the telemetry
    // configuration could not be written (both end the program), 0 the user starts the download,
    // 1 a saved download was reloaded.
    int Init();

    void Handle(const ControllerAction& action);
    // The main button, by state.
    void MainAction();
    // Every 100 ms.
    void Tick100();
    // Every second.
    void TickSecond();

    bool ExitRequested() const { return context_.exit_requested; }
    // Once, when the controller's thread ends.
    void ExitCleanup();

    ControllerSnapshot Snapshot() const;
    const ControllerContext& Context() const { return context_; }

  private:
    void OnVerifyAnswer(const action::VerifyAnswer& answer);
    void OnSpeedLimit(int32_t kib_per_second);

    ControllerContext context_;
    TaskFactory factory_;
    TaskLimits limits_;
    TaskPersistence persistence_;
    Verifier verifier_;
    InstallExit install_exit_;
    MirrorUpdater mirrors_;
    DownloadStateMachine machine_;
    int init_result_ = 0;
    uint64_t status_ticks_ = 0;
    uint64_t second_ticks_ = 0;
    uint64_t user_actions_ = 0;
};

}  // namespace kf::app
