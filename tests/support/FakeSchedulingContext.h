#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "engine/task/BlockScheduler.h"
#include "engine/task/SchedulingContext.h"

namespace kf::test {

// A piece map and task for block scheduler tests: `count` pieces of `blocks_per_piece` 16 KiB
// blocks in one file, with the verified, finishing and held blocks, server slots, clocks and
// switches the test sets. The helpers below make peers, slots and readable piece choices.
class FakeSchedulingContext : public SchedulingContext {
  public:
    explicit FakeSchedulingContext(int32_t pieces, int32_t blocks_per_piece = 4)
        : count(pieces),
          length(blocks_per_piece * kBlockSize),
          verified(pieces, false),
          finishing(pieces, false),
          done_blocks(pieces) {
        files.push_back({0, pieces, static_cast<int64_t>(pieces) * length, 0, false});
    }

    void Verify(int32_t p) { SetVerified(p, true); }
    void SetVerified(int32_t p, bool on) {
        if (verified[static_cast<size_t>(p)] != on) {
            verified[static_cast<size_t>(p)] = on;
            verified_count += on ? 1 : -1;
        }
    }

    bool PieceMapReady() override { return ready; }
    int32_t PieceCount() override { return count; }
    int32_t PieceLength() override { return length; }
    int32_t VerifiedCount() override { return verified_count; }
    bool IsVerified(PieceIndex piece) override { return VerifiedAt(At(piece)); }
    bool IsBeingFinished(PieceIndex piece) override {
        const int32_t p = At(piece);
        return Valid(p) && finishing[static_cast<size_t>(p)];
    }
    int32_t BytesDone(PieceIndex piece) override {
        const int32_t p = At(piece);
        if (VerifiedAt(p)) {
            return length;
        }
        int32_t block = p * length / kBlockSize;
        while (done_blocks[static_cast<size_t>(p)].count(block) > 0) {
            ++block;
        }
        return block * kBlockSize - p * length;
    }
    int32_t PieceSize(PieceIndex piece) override { return Valid(At(piece)) ? length : 0; }
    bool IsBlockDone(ContentBlock at, int32_t) override {
        const auto block = static_cast<int32_t>(at.value());
        const int32_t p = block * kBlockSize / length;
        return VerifiedAt(p) || done_blocks[static_cast<size_t>(p)].count(block) > 0;
    }
    std::vector<PieceIndex> PartialPieces() override {
        return std::vector<PieceIndex>(partial.begin(), partial.end());
    }
    int32_t FileCount() override { return static_cast<int32_t>(files.size()); }
    SchedulingFile File(FileIndex i) override { return files[static_cast<size_t>(i.value())]; }
    int32_t ActiveConnections() override { return active; }
    bool HasServerCandidates() override { return !slots.empty(); }
    std::vector<ServerSlot> ServerSlots() override { return slots; }
    void ApplyServerSlots(const std::vector<ServerSlot>& s) override { slots = s; }
    int64_t ThreadSeconds() override { return thread_seconds; }
    bool RandomStart() override { return random_start; }
    bool P2PEnabled() override { return true; }
    bool IsStopping() override { return stopping; }
    uint32_t Tick() override { return tick += tick_step; }
    int64_t Now() override { return now; }
    uint32_t QueueClock() override { return 7; }

    static int32_t At(PieceIndex piece) { return static_cast<int32_t>(piece.value()); }
    bool Valid(int32_t p) const { return p >= 0 && p < count; }
    bool VerifiedAt(int32_t p) const { return Valid(p) && verified[static_cast<size_t>(p)]; }

    bool ready = true;
    int32_t count;
    int32_t length;
    std::vector<bool> verified;
    int32_t verified_count = 0;
    std::vector<bool> finishing;
    std::vector<std::set<int32_t>> done_blocks;  // held blocks of unverified pieces
    std::vector<int32_t> partial;
    std::vector<SchedulingFile> files;
    std::vector<ServerSlot> slots;
    int32_t active = 10;
    int64_t thread_seconds = 1000;
    bool random_start = true;
    bool stopping = false;
    uint32_t tick = 0;
    uint32_t tick_step = 0;  // 0: every tick reads 0
    int64_t now = 1000;
};

inline PieceIndex Piece(int32_t piece) {
    return PieceIndex(piece);
}

// A piece choice as a number, -1 for none.
inline int32_t Chosen(std::optional<PieceIndex> piece) {
    return piece ? static_cast<int32_t>(piece->value()) : -1;
}

inline std::vector<uint8_t> Bits(int32_t count,
                                 std::initializer_list<std::pair<int32_t, int32_t>> runs) {
    std::vector<uint8_t> bits(static_cast<size_t>((count + 7) / 8), 0);
    for (auto [lo, hi] : runs) {
        for (int32_t p = lo; p <= hi; ++p) {
            bits[static_cast<size_t>(p / 8)] |= static_cast<uint8_t>(0x80 >> (p % 8));
        }
    }
    return bits;
}

inline PeerWork BtPeer(int32_t count, std::initializer_list<std::pair<int32_t, int32_t>> runs) {
    PeerWork peer;
    peer.kind = 1;
    peer.has = Bits(count, runs);
    return peer;
}

inline PeerWork Server(int32_t rate) {
    PeerWork peer;
    peer.kind = 2;
    peer.download_rate = rate;
    return peer;
}

inline std::vector<ServerSlot> Slots(int n, int32_t max_connections) {
    std::vector<ServerSlot> slots(static_cast<size_t>(n));
    for (auto& slot : slots) {
        slot.max_connections = max_connections;
    }
    return slots;
}

inline std::vector<std::pair<int32_t, int32_t>> Spans(const BlockScheduler& s) {
    std::vector<std::pair<int32_t, int32_t>> out;
    for (size_t i = 0; i < s.RangeCount(); ++i) {
        out.emplace_back(s.RangeAt(i).start, s.RangeAt(i).end);
    }
    return out;
}

using SpanList = std::vector<std::pair<int32_t, int32_t>>;

}  // namespace kf::test
