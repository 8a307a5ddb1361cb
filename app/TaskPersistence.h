#pragma once

#include <string>

#include "app/ControllerContext.h"
#include "app/TaskFactory.h"
#include "app/TaskLimits.h"

namespace kf::app {

// The saved state of the download (the INI file config_file) and what is decided from it: the
// start keys, the finish information of each file, the start decision with its five outcomes,
// the reload of saved tasks, the recovery of one task and the completion of files.
//
// Owner and threads: a part of CDownloadController; the controller thread only.
//
// Trust: the INI file is input. A saved hash must be a plain name, a saved save path an absolute
// path without "." or ".." steps, a saved resume path such a path inside the data folder ending
// in ".kfinfo", a saved installer name one of the product's file names; anything else counts as
// missing and its default is used.
class TaskPersistence {
  public:
    // What the start decision found.
    enum class Outcome { kNew, kAllLost, kFinished, kVerify, kResumable };

    TaskPersistence(ControllerContext& context, TaskFactory& factory, TaskLimits& limits)
        : context_(context), factory_(factory), limits_(limits) {}

    // Reads the saved state and the save folder, decides the start state and reloads the tasks
    // in the states recover, reload and finished; true when it reloaded them.
    bool Decide();
    Outcome LastOutcome() const { return outcome_; }

    // Hash, time stamps, installer and folder names (and the sources in back and ready); resets
    // the session counters and switches the engine's HTTP-wrapped handshake on.
    void WriteStartKeys();
    // The save path, and no completion of an earlier download.
    void WriteSavePath();
    // Writes file `index`'s last-write time and size, once its final file exists.
    void WriteFinishInfo(int index);
    // The file exists and matches its saved time and size.
    bool FinishCheck(int index);
    // RecoverAndContinueTask for file `index`; true on success.
    bool RecoverTask(int index, bool force);
    // The reload of saved tasks: start keys, the engine, a recovery of each file that fails its
    // finish check.
    void Reload();
    // Once a second: first completions of tasks, and finished when all three are complete.
    void Completion();
    // Once a second: the downloaded total and the download time.
    void WriteProgress();
    // Whether the space watch runs on the save folder's volume.
    void VolumePreparation();

    // An absolute path of at most 3800 bytes, without control bytes, empty steps, "." or "..".
    static bool IsSafePath(const std::string& path);

  private:
    void UseTaskHash(const std::string& hash);
    std::string SaveSubfolder() const;

    ControllerContext& context_;
    TaskFactory& factory_;
    TaskLimits& limits_;
    Outcome outcome_ = Outcome::kNew;
};

}  // namespace kf::app
