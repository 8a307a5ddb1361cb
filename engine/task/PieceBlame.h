#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/content/StrongIndex.h"

namespace kf {

// Who delivered each block of the pieces in progress, and which BitTorrent peers spoiled pieces:
// the task asks it whom a piece that failed its check is charged to.
//
// A party is a peer's IPv4 address (network order): an incoming connection comes from a port of
// the remote's choosing, so the address alone names the host. Party 0 can never be charged: a
// server, or bytes of unknown origin (read back from disk at a resume).
//
// Rules. A failed piece whose every block came from one peer is charged to it; the failure that
// brings a peer to kBanStrikes charged pieces says to ban it (once). A piece with blocks from
// several parties charges nobody: its peers become the piece's suspects, and the task has it
// fetched again from one peer alone, preferably not a suspect, to learn who is at fault. A piece
// that passes its check is forgotten, and with it the suspicion of its peers for it.
//
// Owner: the task. Thread: the task thread only. Limits: one byte per block of each piece in
// progress and at most 255 parties per piece (later ones count as unknown); a piece's record goes
// when it passes or fails. Charges last as long as the object.
class PieceBlame {
  public:
    static constexpr int32_t kBanStrikes = 2;

    struct Verdict {
        uint32_t charged = 0;            // the one peer that delivered every block; 0: none
        int32_t strikes = 0;             // its charged pieces, this one included
        bool ban = false;                // this failure brought it to kBanStrikes
        std::vector<uint32_t> suspects;  // the peers that delivered blocks of the piece
    };

    // Block `block` (counted from the piece start) of `piece` was stored, delivered by `party`.
    void OnBlock(PieceIndex piece, int32_t block, uint32_t party);
    // `piece`, of `blocks` blocks, failed its check and is empty again.
    Verdict OnFailed(PieceIndex piece, int32_t blocks);
    void OnPassed(PieceIndex piece);
    // The piece map was replaced: piece records go, charges stay.
    void ForgetPieces() { pieces_.clear(); }
    int32_t Strikes(uint32_t party) const;
    size_t PiecesTracked() const { return pieces_.size(); }

  private:
    struct Record {
        std::vector<uint8_t> block_party;  // 0 unknown, else 1 + an index of parties
        std::vector<uint32_t> parties;
    };

    std::unordered_map<int64_t, Record> pieces_;
    std::unordered_map<uint32_t, int32_t> strikes_;
};

}  // namespace kf
