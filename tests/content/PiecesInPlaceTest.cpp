// Received data written in place: a peer asks the piece map where the next bytes of a block go,
// reads into that memory, then commits what it read. The room is offered only exactly where a
// block continues, and committed bytes act as AddData would (verification, held pieces, bad
// pieces emptied).

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/content/BlockPool.h"
#include "engine/content/PieceSlot.h"
#include "engine/content/TPieces.h"
#include "support/ContentFiles.h"
#include "support/PiecesHarness.h"
#include "support/RecordingTaskLink.h"
#include "support/SingleFileMapTest.h"
#include "support/TempDir.h"

namespace kf {
namespace {

constexpr int32_t B = kBlockSize;

std::span<const uint8_t> Bytes(const std::string& s, size_t at, size_t n) {
    return {reinterpret_cast<const uint8_t*>(s.data()) + at, n};
}

// Writes `n` bytes of `source` from `at` into the room for `offset` and commits them.
int32_t PutInPlace(PieceSlot& slot, BlockPool& pool, int32_t offset, const std::string& source,
                   int32_t n) {
    const std::span<uint8_t> room = slot.ReceiveRoom(offset, pool);
    if (static_cast<int32_t>(room.size()) < n) {
        return -1;
    }
    std::memcpy(room.data(), source.data() + offset, static_cast<size_t>(n));
    return slot.CommitReceived(offset, n);
}

TEST(PieceSlotInPlace, RoomIsOfferedOnlyWhereTheBlockContinues) {
    const std::string data = test::RandomBytes(3 * B + 500, 3);
    BlockPool pool;
    PieceSlot slot(PieceIndex(0), static_cast<int32_t>(data.size()), nullptr);

    // A fresh block: room from its start to its end, nowhere inside it.
    EXPECT_EQ(slot.ReceiveRoom(0, pool).size(), static_cast<size_t>(B));
    EXPECT_TRUE(slot.ReceiveRoom(100, pool).empty());
    EXPECT_EQ(PutInPlace(slot, pool, 0, data, 1000), 1000);
    EXPECT_EQ(slot.cached_bytes(), 1000);
    EXPECT_FALSE(slot.HasBlock(BlockIndex(0)));
    // The room now continues at the fill point, and only there.
    EXPECT_TRUE(slot.ReceiveRoom(0, pool).empty());
    EXPECT_TRUE(slot.ReceiveRoom(999, pool).empty());
    EXPECT_EQ(slot.ReceiveRoom(1000, pool).size(), static_cast<size_t>(B - 1000));
    // A commit that does not continue the block takes nothing; one past the block's end is cut.
    EXPECT_EQ(slot.CommitReceived(1200, 10), 0);
    EXPECT_EQ(PutInPlace(slot, pool, 1000, data, B - 1000), B - 1000);
    EXPECT_EQ(slot.CommitReceived(B - 5, 100), 0);
    EXPECT_TRUE(slot.HasBlock(BlockIndex(0)));
    EXPECT_TRUE(slot.ReceiveRoom(B - 1, pool).empty());

    // The short last block offers just its own length.
    EXPECT_EQ(slot.ReceiveRoom(3 * B, pool).size(), 500u);
    EXPECT_TRUE(slot.ReceiveRoom(3 * B + 500, pool).empty());  // past the piece
    EXPECT_TRUE(slot.ReceiveRoom(-1, pool).empty());

    // Bytes put by Store and by the room path meet without a gap, and read back as sent.
    EXPECT_EQ(slot.Store(B, Bytes(data, B, B), pool), B);
    EXPECT_EQ(PutInPlace(slot, pool, 2 * B, data, B), B);
    EXPECT_EQ(PutInPlace(slot, pool, 3 * B, data, 500), 500);
    EXPECT_EQ(slot.ContiguousEnd(), slot.size());
    std::string back;
    slot.VisitRange(0, slot.size(), [&](std::span<const uint8_t> part) {
        back.append(reinterpret_cast<const char*>(part.data()), part.size());
    });
    EXPECT_EQ(back, data);
    EXPECT_EQ(slot.cached_bytes(), static_cast<int64_t>(data.size()));

    // Written (bytes_done past them): no room any more.
    slot.Advance(2 * B, pool);
    EXPECT_TRUE(slot.ReceiveRoom(0, pool).empty());
    EXPECT_TRUE(slot.ReceiveRoom(B, pool).empty());
}

TEST(PieceSlotInPlace, StoreDoesNotOverwriteBytesCommittedInPlace) {
    const std::string data = test::RandomBytes(2 * B, 4);
    std::string other = data;
    for (char& c : other) {
        c = static_cast<char>(c ^ 0x5A);
    }
    BlockPool pool;
    PieceSlot slot(PieceIndex(0), 2 * B, nullptr);
    EXPECT_EQ(PutInPlace(slot, pool, 0, data, 3000), 3000);
    // Another party's copy of the same block passes over the committed part and fills the rest.
    EXPECT_EQ(slot.Store(0, Bytes(other, 0, B), pool), B);
    std::string back;
    slot.VisitRange(0, B, [&](std::span<const uint8_t> part) {
        back.append(reinterpret_cast<const char*>(part.data()), part.size());
    });
    EXPECT_EQ(back.substr(0, 3000), data.substr(0, 3000));
    EXPECT_EQ(back.substr(3000), other.substr(3000, B - 3000));
    // The room of the in-place reader is gone: the block is full.
    EXPECT_TRUE(slot.ReceiveRoom(3000, pool).empty());
}

using test::CountingSource;

class PiecesInPlace : public test::SingleFileMapTest {
  protected:
    PiecesInPlace() : SingleFileMapTest(21) {}

    // Reads `n` bytes of `bytes` at `offset` in place (they must fit the room) and commits them.
    int64_t Put(TPieces& p, const std::string& bytes, int64_t offset, int32_t n,
                DataSource* source = nullptr, bool* completed = nullptr) {
        const std::span<uint8_t> room = p.ReceiveRoom(offset);
        if (static_cast<int32_t>(room.size()) < n) {
            return -1000;
        }
        std::memcpy(room.data(), bytes.data() + offset, static_cast<size_t>(n));
        return p.CommitReceived(offset, n, source, completed);
    }
};

TEST_F(PiecesInPlace, CommittedBytesCompleteAndVerifyAPiece) {
    RefPtr<TPieces> p = Make(3 * 65536 + 777);
    CountingSource source;
    // Piece 1 in uneven reads: each fills at most the rest of its block.
    int64_t at = 65536;
    bool completed = false;
    while (at < 2 * 65536) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(5000, p->ReceiveRoom(at).size()));
        ASSERT_GT(n, 0) << at;
        const int64_t taken = Put(*p, stream, at, n, &source, &completed);
        ASSERT_EQ(taken, n) << at;
        at += n;
        EXPECT_EQ(completed, at == 2 * 65536);
    }
    EXPECT_TRUE(source.bad.empty());
    ASSERT_TRUE(p->WriteHeldPieces());
    EXPECT_TRUE(p->IsVerified(PieceIndex(1)));
    // A verified piece offers no room; a commit there takes nothing.
    EXPECT_TRUE(p->ReceiveRoom(65536).empty());
    EXPECT_EQ(p->CommitReceived(65536, 10, &source, nullptr), 0);
    // Outside the content.
    EXPECT_TRUE(p->ReceiveRoom(-1).empty());
    EXPECT_TRUE(p->ReceiveRoom(static_cast<int64_t>(stream.size())).empty());
    EXPECT_EQ(p->CommitReceived(static_cast<int64_t>(stream.size()), 1, &source, nullptr),
              TPieces::kOutside);

    // The short last piece through the same path, then everything reads back from disk.
    for (int64_t piece : {0, 2, 3}) {
        for (int64_t b = piece * 65536; b < std::min<int64_t>((piece + 1) * 65536, stream.size());
             b += B) {
            const int32_t n = static_cast<int32_t>(p->ReceiveRoom(b).size());
            ASSERT_EQ(Put(*p, stream, b, n, &source), n);
        }
    }
    ASSERT_TRUE(p->WriteHeldPieces());
    EXPECT_EQ(p->Progress().verified_pieces, 4);
    std::string back(stream.size(), '\0');
    ASSERT_EQ(p->ReadData(0, {reinterpret_cast<uint8_t*>(back.data()), back.size()}),
              static_cast<int64_t>(stream.size()));
    EXPECT_EQ(back, stream);
}

TEST_F(PiecesInPlace, BadBytesCommittedInPlaceEmptyThePieceAndTellTheSource) {
    RefPtr<TPieces> p = Make(2 * 65536);
    std::string bad = stream;
    bad[65536 + 3 * B + 7] ^= 1;
    CountingSource source;
    for (int64_t at = 65536; at < 2 * 65536 - B; at += B) {
        ASSERT_EQ(Put(*p, bad, at, B, &source), B);
    }
    bool completed = true;
    EXPECT_EQ(Put(*p, bad, 2 * 65536 - B, B, &source, &completed), TPieces::kHashFailed);
    EXPECT_FALSE(completed);
    EXPECT_EQ(source.bad, std::vector<int64_t>{1});
    EXPECT_EQ(source.whole_flags, std::vector<bool>{true});
    EXPECT_EQ(p->Progress().cached_bytes, 0);
    // Empty again: the room starts at the piece's first byte once more.
    EXPECT_EQ(p->ReceiveRoom(65536).size(), static_cast<size_t>(B));
    EXPECT_FALSE(p->HasBlock(PieceIndex(1), BlockIndex(0)));
}

}  // namespace
}  // namespace kf
