#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/content/StrongIndex.h"

namespace kf {

// Who delivered each block of the pieces in progress, what the blocks held, and which BitTorrent
// peers spoiled pieces: the task asks it whom a piece that failed its check is charged to.
//
// A party is a peer's IPv4 address (network order): an incoming connection comes from a port of
// the remote's choosing, so the address alone names the host. Party 0 can never be charged: a
// server, or bytes of unknown origin (read back from disk at a resume).
//
// Rules. A failed piece whose every block came from one peer is charged to it. A failed piece
// with blocks from several parties charges nobody yet: its copy is kept (at most kKeptCopies a
// piece) and its peers become the piece's suspects; the task has the piece fetched again from one
// peer alone, preferably not a suspect. When the piece passes its check, every peer that sent a
// block of a kept copy that differs from the block of the good copy is charged. A peer is charged
// at most once a piece; the charge that brings it to kBanStrikes pieces says to ban it (once).
// Blocks are compared by the first 8 bytes of their SHA-1; a block whose good copy arrived in
// place (no digest taken) is not compared.
//
// Owner: the task. Thread: the task thread only. Limits: per piece in progress one byte and one
// digest per block, at most 255 parties (later ones count as unknown) and kKeptCopies failed
// copies; a piece's records go when it passes, or when the piece map is replaced. Charges last
// as long as the object.
class PieceBlame {
  public:
    static constexpr int32_t kBanStrikes = 2;
    static constexpr size_t kKeptCopies = 4;

    struct Charge {
        uint32_t party = 0;
        int32_t strikes = 0;  // its charged pieces, this one included
        bool ban = false;     // this charge brought it to kBanStrikes
    };
    struct Verdict {
        Charge charge;                   // the one peer that delivered every block; party 0: none
        std::vector<uint32_t> suspects;  // the peers that delivered blocks of the piece
    };

    // Block `block` (counted from the piece start) of `piece`, holding `bytes`, was stored,
    // delivered by `party`.
    void OnBlock(PieceIndex piece, int32_t block, uint32_t party, std::span<const uint8_t> bytes);
    // `piece`, of `blocks` blocks, failed its check and is empty again.
    Verdict OnFailed(PieceIndex piece, int32_t blocks);
    // `piece` passed its check: the charges for blocks of kept copies that differ from it.
    std::vector<Charge> OnPassed(PieceIndex piece);
    // The piece map was replaced: piece records go, charges stay.
    void ForgetPieces() { pieces_.clear(); }
    int32_t Strikes(uint32_t party) const;
    size_t PiecesTracked() const { return pieces_.size(); }

  private:
    struct Copy {
        std::vector<uint8_t> block_party;    // 0 unknown, else 1 + an index of parties
        std::vector<uint64_t> block_digest;  // 0: none taken
        std::vector<uint32_t> parties;
    };
    struct Piece {
        Copy current;                   // the copy being received
        std::vector<Copy> failed;       // failed copies from several parties, oldest first
        std::vector<uint32_t> charged;  // parties charged for this piece
    };

    // Counts a bad piece against `party` unless it was charged for `piece` already.
    Charge ChargeFor(Piece& piece, uint32_t party);

    std::unordered_map<int64_t, Piece> pieces_;
    std::unordered_map<uint32_t, int32_t> strikes_;
};

}  // namespace kf
