// Filter text of any shape must parse without faults, and the stored ranges must stay ordered and
// disjoint whatever the lines were.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/net/CIPFilter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kf::CIPFilter filter;
    filter.LoadFromText(std::string_view(reinterpret_cast<const char*>(data), size));
    bool first_range = true;
    uint32_t previous_last = 0;
    for (const auto& [last, first] : filter.Ranges()) {
        if (first > last || (!first_range && first <= previous_last)) {
            std::abort();
        }
        first_range = false;
        previous_last = last;
        if (!filter.IsBlockedHostOrder(first) || !filter.IsBlockedHostOrder(last)) {
            std::abort();
        }
    }
    for (uint32_t address : {0u, 0x7F000001u, 0xC0A80101u, 0xFFFFFFFFu}) {
        filter.IsBlocked(address);
    }
    return 0;
}
