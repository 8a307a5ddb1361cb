// Proxy replies of any shape must be parsed without faults, never claim more bytes than they were
// given, and reach the same verdict whether the bytes arrive at once or in pieces.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "engine/net/ProxyProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // First byte: proxy type; second: the piece size the reply arrives in (at most 256 pieces).
    const int32_t type = 1 + data[0] % 4;
    const std::span<const uint8_t> reply(data + 2, std::min<size_t>(size - 2, 20000));
    const size_t piece = std::max<size_t>(1 + data[1], reply.size() / 256);

    const kf::ProxyReplyVerdict whole = kf::ParseProxyReply(type, reply);
    if (whole.status == kf::ProxyReplyStatus::kDone &&
        (whole.consumed == 0 || whole.consumed > reply.size())) {
        std::abort();
    }
    if (whole.status != kf::ProxyReplyStatus::kDone && whole.consumed != 0) {
        std::abort();
    }
    // Once a prefix decides, the whole input must agree with it.
    size_t arrived = 0;
    while (arrived < reply.size()) {
        arrived = std::min(reply.size(), arrived + piece);
        const kf::ProxyReplyVerdict verdict = kf::ParseProxyReply(type, reply.first(arrived));
        if (verdict.status != kf::ProxyReplyStatus::kNeedMore) {
            if (!(verdict == whole)) {
                std::abort();
            }
            break;
        }
    }
    return 0;
}
