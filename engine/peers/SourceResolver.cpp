#include "engine/peers/SourceResolver.h"

#include <atomic>

#include "engine/net/HostResolver.h"

namespace kf {

namespace {

// The engine's resolver: numeric hosts without a lookup, names with the 3-second bound, the
// unresolvable-host list and the DNS failure event.
int32_t EngineResolver(std::string_view host, std::vector<uint32_t>& addresses) {
    return ResolveHostAddresses(host, addresses);
}

std::atomic<SourceResolverFn> g_resolver{&EngineResolver};

}  // namespace

SourceResolverFn CurrentSourceResolver() {
    return g_resolver.load();
}

SourceResolverFn SetSourceResolver(SourceResolverFn resolver) {
    return g_resolver.exchange(resolver != nullptr ? resolver : &EngineResolver);
}

int32_t ResolveSourceHost(std::string_view host, std::vector<uint32_t>& addresses) {
    return g_resolver.load()(host, addresses);
}

}  // namespace kf
