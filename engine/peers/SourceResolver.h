#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace kf {

// The name resolution that address parsing uses: appends the IPv4 addresses (network order) of
// `host` to `addresses` and answers how many were added, 0 for an invalid numeric address, -1 when
// the name cannot be resolved. A lookup takes at most about 3 seconds.
using SourceResolverFn = int32_t (*)(std::string_view host, std::vector<uint32_t>& addresses);

// The resolver in use. The default is the network layer's ResolveHostAddresses; tests put in a
// stub so that no name is ever looked up outside this machine. Set it while no task runs.
SourceResolverFn CurrentSourceResolver();
// Replaces the resolver (null restores the default) and answers the previous one.
SourceResolverFn SetSourceResolver(SourceResolverFn resolver);

// Resolves through the resolver in use.
int32_t ResolveSourceHost(std::string_view host, std::vector<uint32_t>& addresses);

}  // namespace kf
