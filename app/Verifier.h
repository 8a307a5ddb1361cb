#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/ControllerContext.h"
#include "app/TaskLimits.h"
#include "app/TaskPersistence.h"

namespace kf::app {

// The MD5 check of the finished files and the repair of a damaged one: up to five rounds of
// handing the file back to the engine (its resume and spill files deleted first, so that the
// engine reads the data again instead of trusting its record) and checking it again.
//
// The digests run on a worker (context.start_digest); their progress and results come back as
// OnDigestProgress and OnDigestDone. A repaired task is polled once a second.
//
// Owner and threads: a part of CDownloadController; the controller thread only.
class Verifier {
  public:
    static constexpr int kMaxRepairRounds = 5;
    static constexpr int kRecoverAttempts = 4;

    Verifier(ControllerContext& context, TaskPersistence& persistence, TaskLimits& limits)
        : context_(context), persistence_(persistence), limits_(limits) {}

    // Called when all three files passed: checkfinished, then the install when asked for.
    std::function<void()> on_verified;
    // Called when the installer alone passed (CheckInstaller); the state is back as before.
    std::function<void()> on_installer_checked;

    // The three files, in order (the verify question answered yes).
    void Verify(bool install_after);
    // File `index` alone: the installer, before it runs unverified.
    void CheckInstaller(int index);

    void OnDigestProgress(uint64_t generation, int32_t progress);
    void OnDigestDone(uint64_t generation, const std::string& digest);
    // Once a second: the repaired task's progress.
    void SecondTick();

    // The verification progress of all three files, weighted by size (0..10000).
    int32_t OverallProgress() const;

  private:
    enum class Phase { kIdle, kFirstCheck, kRecheck, kRepairWait, kStuck };

    void CheckNext();
    bool StartDigest(int index);
    void StartRepairRound();
    void Stuck(const std::string& message);
    void Finish();

    ControllerContext& context_;
    TaskPersistence& persistence_;
    TaskLimits& limits_;
    Phase phase_ = Phase::kIdle;
    std::vector<int> plan_;
    size_t position_ = 0;
    bool full_ = false;
    bool install_after_ = false;
    int rounds_ = 0;
    uint64_t generation_ = 0;
    DownloadState state_before_ = DownloadState::kFinished;
};

}  // namespace kf::app
