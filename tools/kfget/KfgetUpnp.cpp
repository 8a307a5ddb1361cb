#include "tools/kfget/KfgetUpnp.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "engine/kestrelfetch.h"

namespace kfget {
namespace {

// Time for the gateway's answers after the search: description, mapping, WAN address.
constexpr int32_t kAnswerWaitMs = 15000;
constexpr int32_t kDefaultDelayMs = 2000;

}  // namespace

int32_t KfgetUpnp::MapAndReport(const KfgetOptions& options, const std::string& state_file) {
    KfPortMapOptions request{};
    request.discovery_delay_ms = options.upnp_delay_ms;
    request.multicast_interface = options.upnp_interface.c_str();
    request.root_description_url = options.upnp_url.c_str();
    request.excluded_ports = options.upnp_excluded.data();
    request.excluded_count = static_cast<int32_t>(options.upnp_excluded.size());
    request.port = options.listen_port;
    request.state_file = state_file.c_str();
    const int32_t port = MapListenPort(&request);
    if (port <= 0) {
        std::printf("upnp: failed: no port could be chosen for listening\n");
        std::fflush(stdout);
        return options.listen_port;
    }
    const int32_t delay = options.upnp_delay_ms > 0 ? options.upnp_delay_ms : kDefaultDelayMs;
    KfPortMapStatus status{};
    const int32_t state = WaitPortMapping(delay + kAnswerWaitMs, &status);
    if (state == KF_PORTMAP_MAPPED) {
        std::printf("upnp: mapped TCP port %d: external %s:%d -> %s:%d (gateway \"%s\")\n",
                    status.port, status.external_address, status.port, status.internal_client,
                    status.port, status.text);
    } else if (state == KF_PORTMAP_DIRECT) {
        std::printf("upnp: not needed: %s has a public address; listening on port %d\n",
                    status.internal_client, port);
    } else if (state == KF_PORTMAP_FAILED) {
        std::printf("upnp: failed: %s", status.text);
        if (status.gateway_error != 0) {
            std::printf(" (gateway error %d)", status.gateway_error);
        }
        std::printf("; listening on port %d without a mapping\n", port);
    } else {
        std::printf("upnp: no answer from the gateway yet; listening on port %d\n", port);
    }
    std::fflush(stdout);
    return port;
}

int KfgetUpnp::RunAlone(const KfgetOptions& options, const std::atomic<bool>& interrupted) {
    CreateEngineLog();
    InitEngine(nullptr);
    const std::string state =
        !options.upnp_state.empty()
            ? options.upnp_state
            : (options.out_dir.empty() ? std::string(".") : options.out_dir) + "/.kfget-upnp-port";
    const int32_t port = MapAndReport(options, state);
    KfPortMapStatus status{};
    const bool mapped = WaitPortMapping(0, &status) == KF_PORTMAP_MAPPED;
    if (mapped) {
        std::printf("upnp: holding the mapping until ^C%s\n",
                    options.timeout_seconds > 0 ? " or --timeout" : "");
        std::fflush(stdout);
        const auto started = std::chrono::steady_clock::now();
        while (!interrupted) {
            const std::chrono::duration<double> elapsed =
                std::chrono::steady_clock::now() - started;
            if (options.timeout_seconds > 0 && elapsed.count() >= options.timeout_seconds) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    CleanupEngine();
    ReleaseEngineLog();
    if (mapped) {
        std::printf("upnp: mapping of port %d removed\n", port);
    }
    return mapped || status.state == KF_PORTMAP_DIRECT ? kComplete : kFailed;
}

}  // namespace kfget
