// libFuzzer target: LAN discovery's datagram and announcement list on any bytes. The input is cut
// into datagrams of 1..64 bytes (a length byte, a sender byte, then the datagram), as the socket
// would hand them over; the list must keep its bounds and give back only what it was given.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/task/LanAnnouncements.h"
#include "engine/task/LanDatagram.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kf::LanDatagram;
    std::span<const uint8_t> rest(data, size);
    kf::LanAnnouncements list;
    const int tasks[2] = {};
    // 10.0.0.2:6881, torrent 0x11...
    kf::LanSelf self{&tasks[0], {}, 0x0200000Au, 6881};
    self.info_hash.fill(0x11);
    int64_t now = 0;
    while (rest.size() >= 2) {
        const size_t length = std::min<size_t>(rest[0] % 65, rest.size() - 2);
        const uint32_t from = 0x0000000Au | (static_cast<uint32_t>(rest[1]) << 24);
        const std::span<const uint8_t> datagram = rest.subspan(2, length);
        rest = rest.subspan(2 + length);
        now += rest.empty() ? 0 : rest[0] % 8;

        if (const auto decoded = LanDatagram::Decode(datagram)) {
            const LanDatagram::Bytes bytes = decoded->Encode();
            Check(datagram.size() >= LanDatagram::kLength);
            // Only the field that must be zero on the way out may differ.
            for (size_t i = 0; i < LanDatagram::kLength; ++i) {
                Check(i == 10 || i == 11 || bytes[i] == datagram[i]);
            }
        }
        const auto mine = list.Receive(datagram, from, self, now, (from >> 24) % 2 == 0);
        if (mine) {
            Check(mine->info_hash == self.info_hash && mine->ip != 0 && mine->port != 0);
        }
        Check(list.size() <= kf::LanAnnouncements::kMaxEntries);
        const auto found = list.Look(
            kf::LanSelf{&tasks[(now % 2)], self.info_hash, self.listen_ip, self.listen_port}, now,
            2, 8);
        Check(found.size() <= 8);
        for (const LanDatagram& peer : found) {
            Check(peer.info_hash == self.info_hash);
        }
    }
    return 0;
}
