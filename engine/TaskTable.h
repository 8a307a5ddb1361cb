#pragma once

#include <vector>

#include "engine/task/QTMutex.h"

namespace kf {

class TBaseWork;

// The engine-wide ordered list of live task objects. A task enters in its base constructor and
// leaves in its destructor. The table's mutex (TaskTableMutex) also guards the engine-wide lists
// of the peer side (info-hash registry, incoming connections, LAN announcements, listeners).
// Lock order: EngineCallMutex first, then this one.
class TaskTable {
  public:
    static TaskTable& Instance();

    QTMutex& Mutex() { return mutex_; }

    // Both answer whether the table went from empty to one task / from one task to empty; the
    // caller then starts or stops the shared services outside the lock.
    bool Enter(TBaseWork* task);
    bool Leave(TBaseWork* task);

    // Membership test for a handle handed out by the engine; null is never known.
    bool Contains(const void* handle);
    TBaseWork* Front();
    std::vector<TBaseWork*> Snapshot();

  private:
    TaskTable() = default;

    QTMutex mutex_;
    std::vector<TBaseWork*> tasks_;
};

}  // namespace kf
