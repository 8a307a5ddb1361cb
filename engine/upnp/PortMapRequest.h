#pragma once

#include <cstdint>
#include <string>

namespace kf {

// One forwarding asked of the gateway: the six values of an AddPortMapping action.
struct PortMapRequest {
    static constexpr const char* kDescription = "Kestrelfetch uPnP for P2SP upload/download";

    int32_t external_port = 0;
    std::string protocol = "TCP";
    std::string internal_client;  // our address on the gateway's LAN, "a.b.c.d"
    int32_t internal_port = 0;
    bool enabled = true;
    std::string description = kDescription;
};

}  // namespace kf
