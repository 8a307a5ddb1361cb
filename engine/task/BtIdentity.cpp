#include "engine/task/BtIdentity.h"

#include <openssl/evp.h>

#include <algorithm>

#include "engine/udp/UdpWire.h"

namespace kf {

BtIdentity::Bytes20 BtIdentity::MakeAnnouncePeerId(std::string_view seed_text) {
    Bytes20 id{};
    std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int digest_length = 0;
    if (EVP_Digest(seed_text.data(), seed_text.size(), digest.data(), &digest_length, EVP_md5(),
                   nullptr) == 1 &&
        digest_length >= 16) {
        std::copy_n(digest.begin(), 16, id.begin() + 4);
    }
    std::copy(kClientTag.begin(), kClientTag.end(), id.begin());
    return id;
}

BtIdentity::Bytes20 BtIdentity::MakePeerId(std::string_view seed_text,
                                           const MachineId& machine_id) {
    Bytes20 id = MakeAnnouncePeerId(seed_text);
    // Bytes 8..19 are the UDP endpoint's identity, so that a peer that reads the node id (8..15)
    // and the "UDP" mark (16..18) from this id reaches exactly this endpoint.
    const UdpWire::Identity identity = UdpWire::IdentityOf(UdpWire::NodeIdOf(machine_id));
    std::copy(identity.begin(), identity.end(), id.begin() + 8);
    return id;
}

void BtIdentity::Prepare(const Bytes20& info_hash, std::string_view seed_text,
                         std::string_view announce_seed_text, const MachineId& machine_id) {
    info_hash_ = info_hash;
    peer_id_ = MakePeerId(seed_text, machine_id);
    announce_peer_id_ = MakeAnnouncePeerId(announce_seed_text);
    prepared_ = true;
}

}  // namespace kf
