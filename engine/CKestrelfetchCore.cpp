#include "engine/CKestrelfetchCore.h"

#include <uuid/uuid.h>

#include "engine/AsyncMessage.h"
#include "engine/CKestrelfetchLogApi.h"
#include "engine/EngineGlobals.h"
#include "engine/SwarmRegistry.h"
#include "engine/TaskTable.h"
#include "engine/kestrelfetch.h"
#include "engine/net/EngineClock.h"
#include "engine/net/HalfOpenProbe.h"
#include "engine/net/HostResolver.h"

namespace kf {

CKestrelfetchCore::CKestrelfetchCore() {
    // Process-wide storage that the clean-up at exit uses must be made before this object, so
    // that it is destroyed after it.
    TouchLogStorage();
    TouchClockStorage();
    EngineGlobals::Instance();
    TaskTable::Instance();
    SwarmRegistry::Instance();
    AsyncMessage::JoinAll();
}

CKestrelfetchCore::~CKestrelfetchCore() {
    CleanupEngine();
    AsyncMessage::JoinAll();
}

void CKestrelfetchCore::FirstTaskStarted() {
    EngineGlobals& globals = EngineGlobals::Instance();
    StartClock();
    if (globals.machine_id[0] == 0) {
        uuid_generate(globals.machine_id.data());
        if (globals.machine_id[0] == 0) {
            globals.machine_id[0] = 1;
        }
    }
    globals.udp_suspended = false;
    globals.dht_enabled = false;
    globals.reachable = false;
    globals.half_open_limit = HalfOpenCapFromProbe(ProbeHalfOpenLimit());
}

void CKestrelfetchCore::LastTaskGone() {
    EngineGlobals& globals = EngineGlobals::Instance();
    SwarmRegistry::Instance().CloseListening();
    globals.udp_suspended = true;
    globals.dht_enabled = false;
    globals.reachable = false;
}

void CKestrelfetchCore::StopSharedServices() {
    SwarmRegistry::Instance().CloseListening();
    StopClock();
}

namespace {

CKestrelfetchCore core;

}  // namespace

}  // namespace kf
