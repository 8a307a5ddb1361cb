#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace kf {

// A task's BitTorrent identity: the info-hash its handshakes carry and the peer id it introduces
// itself with. Built once per task run, cleared by the task reset. Pure data and functions.
class BtIdentity {
  public:
    using Bytes20 = std::array<uint8_t, 20>;
    using MachineId = std::array<uint8_t, 16>;

    // The client tag at the front of every peer id of this engine.
    static constexpr std::array<uint8_t, 4> kClientTag = {0x00, 0x01, 0x4B, 0x66};

    // Builds the peer id: bytes 4..7 from the MD5 digest of `seed_text`, bytes 8..19 the UDP
    // endpoint identity made from the machine identifier (UdpWire), so that ids differ per task
    // and yet tell which machine, and which endpoint, they come from.
    static Bytes20 MakePeerId(std::string_view seed_text, const MachineId& machine_id);
    // The peer id that HTTP announces carry: the tag and the whole 16-byte digest of `seed_text`.
    static Bytes20 MakeAnnouncePeerId(std::string_view seed_text);

    // Sets the info-hash and fresh peer ids. The seed texts should differ between tasks and runs
    // (announce address, thread, task address, a clock, local address).
    void Prepare(const Bytes20& info_hash, std::string_view seed_text,
                 std::string_view announce_seed_text, const MachineId& machine_id);
    void Clear() { *this = BtIdentity(); }

    bool prepared() const { return prepared_; }
    const Bytes20& info_hash() const { return info_hash_; }
    const Bytes20& peer_id() const { return peer_id_; }
    const Bytes20& announce_peer_id() const { return announce_peer_id_; }

  private:
    Bytes20 info_hash_{};
    Bytes20 peer_id_{};
    Bytes20 announce_peer_id_{};
    bool prepared_ = false;
};

}  // namespace kf
