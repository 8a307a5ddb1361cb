// The block map of one piece: storing blocks, contiguity, and the spill record form.

#include "engine/content/PieceSlot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/ContentFiles.h"

namespace kf {
namespace {

constexpr int32_t B = kBlockSize;

std::span<const uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(PieceSlot, StoresBlocksAndStopsAtGapsInsideABlock) {
    BlockPool pool;
    const int32_t size = 3 * B + 100;  // short last block
    PieceSlot slot(PieceIndex(0), size, nullptr);
    const std::string data = test::RandomBytes(static_cast<size_t>(size), 1);
    EXPECT_EQ(slot.BlockCount(), 4);
    EXPECT_EQ(slot.BlockLength(BlockIndex(3)), 100);

    // Block 2 first: present, but nothing is contiguous from the start yet.
    EXPECT_EQ(slot.Store(2 * B, Bytes(data).subspan(2 * B, B), pool), B);
    EXPECT_TRUE(slot.HasBlock(BlockIndex(2)));
    EXPECT_EQ(slot.ContiguousEnd(), 0);
    // Data starting in the middle of an empty block would leave a gap: not taken.
    EXPECT_EQ(slot.Store(100, Bytes(data).subspan(100, 50), pool), 0);
    // Block 0 in two halves, then a repeat of the first half (taken, not stored twice).
    EXPECT_EQ(slot.Store(0, Bytes(data).first(B / 2), pool), B / 2);
    EXPECT_FALSE(slot.HasBlock(BlockIndex(0)));
    EXPECT_EQ(slot.Store(0, Bytes(data).first(B), pool), B);
    EXPECT_EQ(slot.cached_bytes(), 2 * B);
    EXPECT_EQ(slot.ContiguousEnd(), B);
    // Block 1 and the short last block complete the piece; data past the end is not taken.
    EXPECT_EQ(slot.Store(B, Bytes(data).subspan(B, B), pool), B);
    EXPECT_EQ(slot.Store(3 * B, Bytes(data + "tail").subspan(3 * B), pool), 100);
    EXPECT_EQ(slot.ContiguousEnd(), size);

    std::string joined;
    slot.VisitRange(10, size, [&](std::span<const uint8_t> part) {
        joined.append(reinterpret_cast<const char*>(part.data()), part.size());
    });
    EXPECT_EQ(joined, data.substr(10));

    // Written up to 2 blocks: those blocks leave the map, data for them is passed over.
    EXPECT_EQ(slot.Advance(2 * B, pool), 2 * B);
    EXPECT_EQ(slot.bytes_done(), 2 * B);
    EXPECT_EQ(slot.cached_bytes(), B + 100);
    EXPECT_TRUE(slot.HasBlock(BlockIndex(0)));
    EXPECT_EQ(slot.Store(0, Bytes(data).first(B), pool), B);
    EXPECT_EQ(slot.cached_bytes(), B + 100);
}

TEST(PieceSlot, RestorePartialNeedsABlockBoundaryAndAMatchingState) {
    PieceSlot slot(PieceIndex(1), 4 * B, nullptr);
    Sha1State state;
    const std::string data = test::RandomBytes(2 * B, 2);
    state.Update(Bytes(data));
    EXPECT_FALSE(slot.RestorePartial(B, state));          // state hashed 2 blocks, not 1
    EXPECT_FALSE(slot.RestorePartial(2 * B + 1, state));  // not on a block boundary
    EXPECT_FALSE(slot.RestorePartial(4 * B, state));      // the whole piece is no partial state
    EXPECT_TRUE(slot.RestorePartial(2 * B, state));
    EXPECT_EQ(slot.bytes_done(), 2 * B);
    EXPECT_TRUE(slot.HasBlock(BlockIndex(1)));
    EXPECT_FALSE(slot.HasBlock(BlockIndex(2)));
}

TEST(PieceSlot, SpillDataRoundTripsWholeBlocksAboveTheWrittenPart) {
    BlockPool pool;
    const int32_t size = 5 * B + 10;
    PieceSlot slot(PieceIndex(3), size, nullptr);
    const std::string data = test::RandomBytes(static_cast<size_t>(size), 3);
    Sha1State state;
    state.Update(Bytes(data).first(B));
    ASSERT_TRUE(slot.RestorePartial(B, state));
    slot.Store(2 * B, Bytes(data).subspan(2 * B, B), pool);
    slot.Store(4 * B, Bytes(data).subspan(4 * B, B), pool);
    slot.Store(5 * B, Bytes(data).subspan(5 * B), pool);  // short last block: left out
    slot.Store(B, Bytes(data).subspan(B, 100), pool);     // partly filled: left out

    const std::vector<uint8_t> record = slot.SerializeBlocks();
    ASSERT_EQ(record.size(), 16u + 2 * 16400u);
    uint32_t head[4];
    std::memcpy(head, record.data(), 16);
    EXPECT_EQ(head[0], uint32_t{2 * B});
    EXPECT_EQ(head[1], uint32_t{B});
    EXPECT_EQ(head[2], 2u);
    EXPECT_EQ(head[3], 0u);

    PieceSlot copy(PieceIndex(3), size, nullptr);
    ASSERT_TRUE(copy.RestorePartial(B, state));
    EXPECT_EQ(copy.RestoreBlocks(record, pool), B);
    EXPECT_EQ(copy.cached_bytes(), 2 * B);
    ASSERT_EQ(copy.BlockData(BlockIndex(4)).size(), static_cast<size_t>(B));
    EXPECT_EQ(std::memcmp(copy.BlockData(BlockIndex(4)).data(), data.data() + 4 * B, B), 0);
    EXPECT_TRUE(copy.BlockData(BlockIndex(3)).empty());

    // A piece shorter than one block, or a map with nothing whole above bytes_done, gives nothing.
    PieceSlot small(PieceIndex(0), 100, nullptr);
    small.Store(0, Bytes(data).first(100), pool);
    EXPECT_TRUE(small.SerializeBlocks().empty());
}

TEST(PieceSlot, HostileSpillDataIsRefusedWithoutLeavingBlocks) {
    BlockPool pool;
    PieceSlot source(PieceIndex(0), 4 * B, nullptr);
    const std::string data = test::RandomBytes(4 * B, 4);
    source.Store(B, Bytes(data).subspan(B, B), pool);
    const std::vector<uint8_t> good = source.SerializeBlocks();
    ASSERT_FALSE(good.empty());

    auto refused = [&](std::vector<uint8_t> record, int32_t slot_size = 4 * B) {
        PieceSlot slot(PieceIndex(0), slot_size, nullptr);
        const bool r = slot.RestoreBlocks(record, pool) < 0;
        // Nothing of a refused record stays behind.
        EXPECT_TRUE(slot.BlockData(BlockIndex(1)).empty());
        EXPECT_EQ(slot.cached_bytes(), 0);
        return r;
    };
    auto with32 = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> r = good;
        std::memcpy(&r[at], &v, 4);
        return r;
    };
    EXPECT_TRUE(refused(std::vector<uint8_t>(good.begin(), good.begin() + 16)));
    EXPECT_TRUE(refused(std::vector<uint8_t>(good.begin(), good.end() - 1)));  // truncated entry
    EXPECT_TRUE(refused(with32(0, 0)));                                        // held bytes 0
    EXPECT_TRUE(refused(with32(0, 3 * B)));                                    // claims more held
    EXPECT_TRUE(refused(with32(4, 0x80000000u)));                              // negative done
    EXPECT_TRUE(refused(with32(8, 0)));                                        // no entries
    EXPECT_TRUE(refused(with32(8, 513)));                                      // too many entries
    EXPECT_TRUE(refused(with32(8, 0x7fffffffu)));                              // length overflow
    EXPECT_TRUE(refused(with32(16, 4 * B)));  // block past the piece end
    EXPECT_TRUE(refused(with32(16, B + 1)));  // not on a block boundary
    EXPECT_TRUE(refused(with32(20, B - 1)));  // length other than 16384
    EXPECT_TRUE(refused(with32(4, 2 * B)));   // block below the written part
    EXPECT_TRUE(refused(good, B - 1));        // piece shorter than a block
    PieceSlot slot(PieceIndex(0), 4 * B, nullptr);
    EXPECT_EQ(slot.RestoreBlocks(good, pool), 0);
    EXPECT_EQ(slot.cached_bytes(), B);
}

}  // namespace
}  // namespace kf
