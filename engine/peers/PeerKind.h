#pragma once

#include <cstdint>

namespace kf {

// The kind of a remote party and of the peer object that talks to it. The codes are bits: a mask
// of kinds selects several at once (kServerSourceKinds = HTTP and FTP servers).
enum class PeerKind : int32_t {
    None = 0,  // the address has not been parsed
    BtNode = 1,
    Http = 2,
    Ftp = 4,
    Tracker = 8,
};

inline constexpr int32_t kServerSourceKinds = 6;

constexpr int32_t KindBits(PeerKind kind) {
    return static_cast<int32_t>(kind);
}
constexpr bool IsServerSource(PeerKind kind) {
    return (KindBits(kind) & kServerSourceKinds) != 0;
}

}  // namespace kf
