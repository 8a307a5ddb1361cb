// The port mapping calls of the engine interface. MapListenPort runs under EngineCallMutex like
// every call; WaitPortMapping waits on the mapping's own lock only, so that a caller blocked in it
// holds up no other call.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/api/CKestrelfetchCore.h"
#include "engine/base/EngineGlobals.h"
#include "engine/kestrelfetch.h"

namespace kf {
namespace {

constexpr int32_t kMaxExcludedPorts = 10001;
constexpr int32_t kDefaultDiscoveryDelayMs = 2000;

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// Copies `text` into a fixed field, cut to fit and always terminated.
template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    std::snprintf(field, N, "%s", text.c_str());
}

int32_t StateCode(PortMapStatus::State state) {
    switch (state) {
        case PortMapStatus::State::kRunning:
            return KF_PORTMAP_RUNNING;
        case PortMapStatus::State::kMapped:
            return KF_PORTMAP_MAPPED;
        case PortMapStatus::State::kFailed:
            return KF_PORTMAP_FAILED;
        case PortMapStatus::State::kDirect:
            return KF_PORTMAP_DIRECT;
        case PortMapStatus::State::kIdle:
            break;
    }
    return KF_PORTMAP_IDLE;
}

}  // namespace
}  // namespace kf

using namespace kf;

extern "C" {

int32_t MapListenPort(const KfPortMapOptions* options) {
    try {
        PortMapOptions chosen;
        chosen.discovery_delay_ms = kDefaultDiscoveryDelayMs;
        if (options != nullptr) {
            if (options->discovery_delay_ms < 0 ||
                options->discovery_delay_ms > CPortForwardEngine::kMaxDiscoveryDelayMs ||
                options->excluded_count < 0 || options->excluded_count > kMaxExcludedPorts ||
                (options->excluded_count > 0 && options->excluded_ports == nullptr) ||
                options->port < 0 || options->port > 65535) {
                return KF_ERR_PARAM;
            }
            if (options->discovery_delay_ms > 0) {
                chosen.discovery_delay_ms = options->discovery_delay_ms;
            }
            chosen.multicast_interface = TextOrEmpty(options->multicast_interface);
            chosen.root_description_url = TextOrEmpty(options->root_description_url);
            chosen.excluded_ports.assign(options->excluded_ports,
                                         options->excluded_ports + options->excluded_count);
            chosen.port = options->port;
            chosen.state_path = TextOrEmpty(options->state_file);
        }
        QTMutexLock call(EngineGlobals::Instance().engine_call_mutex);
        return CKestrelfetchCore::Instance().PortForward().MapListenPort(chosen);
    } catch (...) {
        return 0;
    }
}

int32_t WaitPortMapping(int32_t timeout_ms, KfPortMapStatus* status) {
    if (status == nullptr) {
        return KF_ERR_PARAM;
    }
    try {
        std::memset(status, 0, sizeof(*status));
        const PortMapStatus now = CKestrelfetchCore::Instance().PortForward().Wait(
            std::chrono::milliseconds(std::max<int32_t>(timeout_ms, 0)));
        status->state = StateCode(now.state);
        status->port = now.port;
        status->gateway_error = now.gateway_error;
        CopyText(status->internal_client, now.internal_client);
        CopyText(status->external_address, now.external_address);
        CopyText(status->text, now.text);
        return status->state;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

}  // extern "C"
