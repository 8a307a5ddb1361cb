#pragma once

#include "engine/api/TaskTable.h"
#include "engine/base/EngineGlobals.h"
#include "engine/task/SwarmRegistry.h"
#include "engine/upnp/CPortForwardEngine.h"

namespace kf {

// The engine core: owns the task table and the swarm registry, and starts and stops the services
// that all tasks share. One instance lives for the whole process; its destructor runs the engine
// clean-up once more at exit.
class CKestrelfetchCore : private TaskTable::Watcher {
  public:
    static CKestrelfetchCore& Instance();

    CKestrelfetchCore(const CKestrelfetchCore&) = delete;
    CKestrelfetchCore& operator=(const CKestrelfetchCore&) = delete;
    ~CKestrelfetchCore() override;

    TaskTable& Tasks() { return tasks_; }
    SwarmRegistry& Swarm() { return swarm_; }
    CPortForwardEngine& PortForward() { return port_forward_; }

    // The engine clean-up: every task destroyed, then the shared services stopped and the port
    // forwarding removed from the gateway. Under EngineCallMutex.
    void Cleanup();
    // The DHT wish of the engine call: taken at the first task, and at once while tasks run.
    // Under EngineCallMutex.
    void RequestDht(bool enable);

  private:
    CKestrelfetchCore();

    // Run by the task table when it goes from empty to one task and from one to empty.
    void FirstTaskStarted() override;
    void LastTaskGone() override;
    // The UDP endpoint with the engine's settings (its thread runs on once started).
    static void StartUdpEndpoint(const EngineGlobals& globals);
    // The DHT service on the endpoint's socket, with its node file in the engine's data folder.
    static void StartDht();
    // The service part of the engine clean-up, after every task is gone: listener closed, UDP
    // endpoint and clock stopped, the list of unresolvable host names emptied.
    void StopSharedServices();

    // The table's mutex guards the registry's lists, so the table is made first and goes last.
    TaskTable tasks_;
    SwarmRegistry swarm_;
    CPortForwardEngine port_forward_;
};

}  // namespace kf
