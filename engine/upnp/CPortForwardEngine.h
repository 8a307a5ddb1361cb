#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/upnp/IgdConnection.h"
#include "engine/upnp/IgdDeviceInfo.h"
#include "engine/upnp/PortForwardHandler.h"
#include "engine/upnp/PortMapRequest.h"

namespace kf {

// What the caller asks of a port mapping.
struct PortMapOptions {
    int32_t discovery_delay_ms = 2000;
    std::string multicast_interface;      // SSDP through this address or interface; empty: default
    std::string root_description_url;     // the gateway's description: no search; empty: search
    std::vector<int32_t> excluded_ports;  // never chosen, besides the built-in ones
    int32_t port = 0;                     // map this port; 0: choose one
    std::string state_path;               // the chosen port is remembered here; empty: nowhere
};

// How the last mapping went.
struct PortMapStatus {
    enum class State { kIdle, kRunning, kMapped, kFailed, kDirect };
    State state = State::kIdle;
    int32_t port = 0;             // the port chosen (mapped when kMapped), 0 when none
    std::string internal_client;  // our address on the gateway's LAN
    std::string external_address;
    std::string text;           // the failure's event text, or the gateway's name on success
    int32_t gateway_error = 0;  // the gateway's answer to the mapping request (0: none)
};

// Chooses the engine's listen port and asks the LAN's gateway to forward it: the port is answered
// at once, the search ("DevInfo" thread) and the mapping ("AddMap" thread) go on in the
// background, and their progress goes to the observer (by default a PortForwardHandler, which
// logs and reports the outcome as events).
//
// Owner and threads: one object for the engine; every public call is safe from any thread except
// the observer's. The workers never take the engine's call lock.
// Results: MapListenPort answers the port or 0 (no free port, threads not started, a mapping still
// in progress); a failure after it answered a port is reported through the observer, events and
// Status, and the port stays usable for listening.
// Limits: without a gateway the outcome is known within the discovery delay + 1 s (the delay is
// capped at kMaxDiscoveryDelayMs); the mapping thread waits at most 60 s for the device thread.
// Clean-up (or the destructor) waits for both threads and deletes the mapping it added.
class CPortForwardEngine {
  public:
    static constexpr int32_t kMaxDiscoveryDelayMs = 10000;
    static constexpr std::chrono::seconds kDeviceWait{60};

    // `observer` null: reports go to this object's own PortForwardHandler.
    explicit CPortForwardEngine(PortForwardObserver* observer = nullptr);
    CPortForwardEngine(const CPortForwardEngine&) = delete;
    CPortForwardEngine& operator=(const CPortForwardEngine&) = delete;
    ~CPortForwardEngine();

    int32_t MapListenPort(const PortMapOptions& options);
    // Waits until the mapping is no longer running, at most `timeout`; answers the status then.
    PortMapStatus Wait(std::chrono::milliseconds timeout);
    PortMapStatus Status() const;
    IgdDeviceInfo DeviceInfo() const;
    // Waits for the threads and removes the forwarding from the gateway.
    void Cleanup();

  private:
    void DeviceThread();
    void MappingThread();
    void Post(int32_t code, int32_t value);
    // Ends the mapping with a failure event.
    void Fail(const char* text);
    void CleanupLocked();  // under control_mutex_
    void JoinThreads();

    PortForwardHandler handler_;
    PortForwardObserver& observer_;

    // Serialises MapListenPort and Cleanup, which start and join the threads.
    std::mutex control_mutex_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    PortMapOptions options_;
    PortMapStatus status_;
    PortMapRequest request_;
    IgdDeviceInfo device_info_;
    std::unique_ptr<IgdConnection> igd_;
    bool device_done_ = false;  // the event the mapping thread waits on
    bool stopping_ = false;
    std::thread device_thread_;
    std::thread mapping_thread_;
};

}  // namespace kf
