#include "engine/peers/HostResolver.h"

#include <atomic>

#include "engine/peers/AddressText.h"

namespace kf {

namespace {

// Numeric hosts only; host names are answered as unresolvable.
int32_t NumericOnlyResolver(std::string_view host, std::vector<uint32_t>& addresses) {
    if (host.empty()) {
        return 0;
    }
    if (!IsDigitsAndDots(host)) {
        return -1;
    }
    const uint32_t address = ParseDottedAddress(host);
    if (address == kNoAddress) {
        return 0;
    }
    addresses.push_back(address);
    return 1;
}

std::atomic<HostResolverFn> g_resolver{&NumericOnlyResolver};

}  // namespace

HostResolverFn CurrentHostResolver() {
    return g_resolver.load();
}

HostResolverFn SetHostResolver(HostResolverFn resolver) {
    return g_resolver.exchange(resolver != nullptr ? resolver : &NumericOnlyResolver);
}

int32_t ResolveSourceHost(std::string_view host, std::vector<uint32_t>& addresses) {
    return g_resolver.load()(host, addresses);
}

}  // namespace kf
