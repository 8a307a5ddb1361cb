#pragma once

#include <memory>
#include <vector>

#include "engine/base/QTMutex.h"

namespace kf {

class TWorkThread;

// The engine-wide ordered list of live tasks. The table owns them: a task enters once it is
// configured and is destroyed only by the table (at the engine clean-up). Its mutex
// (TaskTableMutex) also guards the engine-wide lists of the peer side, which the core's swarm
// registry takes it for. Lock order: EngineCallMutex first, then this one. A task's worker thread
// may take this mutex, so the table never holds it while it waits for a worker.
class TaskTable {
  public:
    // Told when the table goes from empty to one task and from one task to empty; called on the
    // engine-call thread, outside the table's mutex.
    class Watcher {
      public:
        virtual ~Watcher() = default;
        virtual void FirstTaskStarted() = 0;
        virtual void LastTaskGone() = 0;
    };

    explicit TaskTable(Watcher& watcher);
    TaskTable(const TaskTable&) = delete;
    TaskTable& operator=(const TaskTable&) = delete;
    // Tasks still here are destroyed without telling the watcher.
    ~TaskTable();

    QTMutex& Mutex() { return mutex_; }

    // Whether a live task duplicates `task` (same target file, same swarm, or shared sources).
    bool HasDuplicateOf(const TWorkThread& task);
    // Takes the task in and answers it.
    TWorkThread& Enter(std::unique_ptr<TWorkThread> task);
    bool IsEmpty();
    // The live task behind a handle the engine handed out; null for anything else.
    TWorkThread* Find(const void* handle);
    // Tells every task's thread to stop, then destroys the tasks front first: each thread is
    // joined by its task's destructor.
    void DestroyAll();

  private:
    Watcher& watcher_;
    QTMutex mutex_;
    std::vector<std::unique_ptr<TWorkThread>> tasks_;
};

}  // namespace kf
