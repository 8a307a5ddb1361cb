#include "engine/upnp/PortChoice.h"

namespace kf {

PortChoice::PortChoice(std::span<const int32_t> extra_exclusions) {
    for (const std::span<const int32_t> list :
         {std::span<const int32_t>(kBuiltInExclusions), extra_exclusions}) {
        for (const int32_t port : list) {
            if (port >= kFirstPort && port <= kLastPort) {
                excluded_.set(static_cast<size_t>(port - kFirstPort));
            }
        }
    }
}

bool PortChoice::IsExcluded(int32_t port) const {
    return port >= kFirstPort && port <= kLastPort &&
           excluded_.test(static_cast<size_t>(port - kFirstPort));
}

int32_t PortChoice::StartFor(uint32_t random) const {
    return Next(static_cast<int32_t>(random % 10000) + kFirstPort);
}

int32_t PortChoice::Next(int32_t port) const {
    // Bounded: the range holds more ports than any exclusion list can name, and a list naming
    // all of them ends the walk after one round.
    for (int32_t step = 0; step <= kLastPort - kFirstPort + 1; ++step) {
        port = port < kFirstPort || port >= kLastPort ? kFirstPort : port + 1;
        if (!IsExcluded(port)) {
            return port;
        }
    }
    return port;
}

int32_t PortChoice::Choose(int32_t previous, int32_t start,
                           const std::function<bool(int32_t)>& is_free) const {
    if (previous >= kFirstPort && previous <= kLastPort && !IsExcluded(previous) &&
        is_free(previous)) {
        return previous;
    }
    if (IsExcluded(start)) {
        return 0;  // every port of the range is excluded
    }
    int32_t port = start;
    for (int32_t tries = 0; tries <= kLastPort - kFirstPort; ++tries) {
        if (is_free(port)) {
            return port;
        }
        port = Next(port);
        if (port == start) {
            break;
        }
    }
    return 0;
}

}  // namespace kf
