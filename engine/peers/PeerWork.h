#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/peers/BlockRequest.h"
#include "engine/peers/Range.h"
#include "engine/peers/RequestQueue.h"

namespace kf {

// The scheduling state of one connection: what it has queued, what it holds and what it knows of
// the remote side. Every peer object owns one; the task's block scheduler reads and changes it.
// Used on the task thread only.
struct PeerWork {
    int32_t kind = 0;               // PeerKind of the peer object: 1 BT, 2 HTTP, 4 FTP, 8 tracker
    uint32_t address = 0;           // BT: the remote's IPv4 address (network order); 0 unknown
    RequestQueue requests;          // blocks to fetch, the ones in flight first
    std::vector<uint8_t> has;       // BT: the remote's bitfield (empty while unknown)
    std::vector<uint8_t> excluded;  // pieces not to ask this connection for
    int32_t last_announced = -1;    // BT: the last piece the remote announced
    int32_t download_rate = 0;      // bytes per second, from the task's 4-second window
    Range* range = nullptr;         // list range held (not owned) or the private range
    std::unique_ptr<Range> private_range;
    int32_t ranges_held = 0;
    int32_t last_piece = -1;      // the last piece this connection took
    int32_t preferred_seen = -1;  // the task's preferred piece when it last planned
    bool nothing_to_pick = false;
    int64_t nothing_to_pick_since = 0;    // the first failed choice of the current streak
    int64_t nothing_to_pick_tried = 0;    // the latest failed choice; the next try waits 60 s
    uint64_t nothing_to_pick_offers = 0;  // the scheduler's offer count at that choice

    bool Has(int32_t piece) const { return TestBit(has, piece); }
    bool IsExcluded(int32_t piece) const { return TestBit(excluded, piece); }
    bool HasRequestFor(int32_t piece, int32_t piece_length) const {
        for (const BlockRequest& request : requests) {
            if (static_cast<int64_t>(request.block) * kBlockSize / piece_length == piece) {
                return true;
            }
        }
        return false;
    }

    static bool TestBit(const std::vector<uint8_t>& bits, int32_t index) {
        if (index < 0 || static_cast<size_t>(index / 8) >= bits.size()) {
            return false;
        }
        return (bits[static_cast<size_t>(index / 8)] & (0x80 >> (index % 8))) != 0;
    }
};

}  // namespace kf
