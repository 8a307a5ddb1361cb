#include "engine/api/CKestrelfetchCore.h"

#include <uuid/uuid.h>

#include <cstdlib>
#include <string>

#include "engine/api/AsyncMessage.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineGlobals.h"
#include "engine/base/EngineLog.h"
#include "engine/dht/CKademlia.h"
#include "engine/net/HalfOpenProbe.h"
#include "engine/net/HostResolver.h"
#include "engine/net/SocketTransport.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/TunnelSocketTransport.h"
#include "engine/udp/UdpWire.h"

namespace kf {
namespace {

// The DHT's node file in the data home that the downloader uses too: KESTRELFETCH_DATA_HOME,
// else an absolute XDG_DATA_HOME, else ~/.local/share. Empty (no file) without any of them.
std::string DhtNodeFilePath() {
    std::string home;
    if (const char* own = std::getenv("KESTRELFETCH_DATA_HOME"); own != nullptr && *own != 0) {
        home = own;
    } else if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        home = xdg;
    } else if (const char* user = std::getenv("HOME"); user != nullptr && *user != 0) {
        home = std::string(user) + "/.local/share";
    } else {
        return {};
    }
    return home + "/Orlo/Kestrelfetch/KestrelfetchKademlia.kad";
}

}  // namespace

CKestrelfetchCore& CKestrelfetchCore::Instance() {
    static CKestrelfetchCore core;
    return core;
}

CKestrelfetchCore::CKestrelfetchCore() : tasks_(*this), swarm_(tasks_.Mutex()) {
    // Process-wide storage that the clean-up at exit uses must be made before this object, so
    // that it is destroyed after it.
    TouchLogStorage();
    TouchClockStorage();
    EngineGlobals::Instance();
    QUInternalServer::Engine().SetDhtInbox(&CKademlia::Instance());
    SetTunnelTransport(std::make_shared<TunnelSocketTransport>(QUInternalServer::Engine()));
    AsyncMessage::JoinAll();
}

CKestrelfetchCore::~CKestrelfetchCore() {
    QTMutexLock call(EngineGlobals::Instance().engine_call_mutex);
    Cleanup();
    AsyncMessage::JoinAll();
}

void CKestrelfetchCore::Cleanup() {
    // Tasks are destroyed even when InitEngine was never called, so that no worker thread
    // outlives the engine.
    tasks_.DestroyAll();
    StopSharedServices();
    port_forward_.Cleanup();
    EngineGlobals::Instance().initialised = false;
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
    StartUdpEndpoint(globals);
    globals.udp_suspended = false;
    QUInternalServer::Engine().SetSuspended(false);
    globals.dht_enabled = globals.dht_requested.load();
    if (globals.dht_enabled) {
        StartDht();
    }
    globals.reachable = false;
    globals.half_open_limit = HalfOpenCapFromProbe(ProbeHalfOpenLimit());
}

void CKestrelfetchCore::StartUdpEndpoint(const EngineGlobals& globals) {
    QUInternalServer::Config config;
    // Until the listener is up (SetLocalAddress) the endpoint takes the port the listener will
    // take, at the engine's bind address, so that engines on one machine keep apart.
    config.local_port = globals.EffectiveListenPort();
    config.bind_ip = globals.bind_ip.load();
    config.node_id = UdpWire::NodeIdOf(globals.machine_id);
    if (QUInternalServer::Engine().Start(config) != 0) {
        EngineLogWrite("UDPServer Thread Start Failed.. ", LogChannel::kApplication);
    }
}

void CKestrelfetchCore::RequestDht(bool enable) {
    EngineGlobals& globals = EngineGlobals::Instance();
    globals.dht_requested = enable;
    if (tasks_.IsEmpty()) {
        return;
    }
    globals.dht_enabled = enable;
    if (enable) {
        StartDht();
    } else {
        CKademlia::Instance().Stop();
    }
}

void CKestrelfetchCore::StartDht() {
    CKademlia& dht = CKademlia::Instance();
    dht.SetNodeFile(DhtNodeFilePath());
    if (!dht.Start()) {
        EngineLogWrite("Kademlia Thread Start Failed.. ", LogChannel::kApplication);
    }
}

void CKestrelfetchCore::LastTaskGone() {
    EngineGlobals& globals = EngineGlobals::Instance();
    // Both listeners and the multicast socket.
    swarm_.CloseListening();
    QUInternalServer::Engine().ResetSessions();
    CKademlia::Instance().RequestStop();
    globals.udp_suspended = true;
    QUInternalServer::Engine().SetSuspended(true);
    globals.dht_enabled = false;
    globals.reachable = false;
}

void CKestrelfetchCore::StopSharedServices() {
    swarm_.CloseListening();
    CKademlia::Instance().Stop();
    QUInternalServer::Engine().Stop();
    StopClock();
    // A name that failed once would otherwise stay failed for the life of the process, even
    // after the network or the resolver configuration was fixed.
    ClearUnresolvableHosts();
}

namespace {

// Made during start-up, so that the clean-up runs at exit whether or not an engine call came.
[[maybe_unused]] const CKestrelfetchCore& g_core = CKestrelfetchCore::Instance();

}  // namespace

}  // namespace kf
