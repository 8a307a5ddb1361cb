// Piece map data path: received blocks, verification, the memory cache and reads for upload.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>

#include "engine/content/TPieces.h"
#include "support/ContentFiles.h"
#include "support/PiecesHarness.h"
#include "support/RecordingTaskLink.h"
#include "support/SingleFileMapTest.h"
#include "support/TempDir.h"

namespace kf {
namespace {

constexpr int32_t B = kBlockSize;

using test::CountingSource;

class PiecesData : public test::SingleFileMapTest {
  protected:
    PiecesData() : SingleFileMapTest(11) {}

    int64_t Add(TPieces& p, int64_t offset, int64_t n, DataSource* source = nullptr,
                bool* completed = nullptr) {
        return p.AddData(
            offset,
            {reinterpret_cast<const uint8_t*>(stream.data()) + offset, static_cast<size_t>(n)},
            source, completed);
    }
};

TEST_F(PiecesData, BadPieceIsEmptiedAndItsSourceTold) {
    RefPtr<TPieces> p = Make(4 * 65536 + 100);
    CountingSource alone, other;
    std::string bad = stream;
    bad[65536 + 5] ^= 1;
    std::swap(bad, stream);
    for (int64_t at = 65536; at < 2 * 65536 - B; at += B) {
        EXPECT_EQ(Add(*p, at, B, &alone), B);
    }
    bool completed = true;
    EXPECT_EQ(Add(*p, 2 * 65536 - B, B, &alone, &completed), TPieces::kHashFailed);
    EXPECT_FALSE(completed);
    EXPECT_EQ(alone.bad, std::vector<int64_t>{1});
    EXPECT_EQ(alone.whole_flags, std::vector<bool>{true});
    EXPECT_FALSE(p->HasBlock(PieceIndex(1), BlockIndex(0)));
    EXPECT_EQ(p->Progress().cached_bytes, 0);

    // Mixed sources: the one that completed it hears of it, not as the whole piece's supplier.
    EXPECT_EQ(Add(*p, 65536, B, &other), B);
    for (int64_t at = 65536 + B; at < 2 * 65536 - B; at += B) {
        Add(*p, at, B, &alone);
    }
    EXPECT_EQ(Add(*p, 2 * 65536 - B, B, &alone), TPieces::kHashFailed);
    EXPECT_EQ(alone.whole_flags.back(), false);
    EXPECT_TRUE(other.bad.empty());

    // Good data then verifies; offsets outside the stream are refused.
    std::swap(bad, stream);
    for (int64_t at = 65536; at < 2 * 65536; at += B) {
        Add(*p, at, B, &alone, &completed);
    }
    EXPECT_TRUE(completed);
    EXPECT_TRUE(p->IsComplete(PieceIndex(1)));
    EXPECT_EQ(Add(*p, static_cast<int64_t>(stream.size()), 1), TPieces::kOutside);
    EXPECT_EQ(Add(*p, -1, 1), TPieces::kOutside);
}

TEST_F(PiecesData, HeldPiecesAreWrittenWhenTheCacheFillsAndCountOnlyOnceOnDisk) {
    params.cache_units = 4;  // 1 MiB: held pieces written from 512 KiB held on a pass
    RefPtr<TPieces> p = Make(40 * 65536);
    const std::string path = p->File(FileIndex(0)).path;
    ASSERT_TRUE(test::Feed(*p, stream, {0, 1, 2}));
    EXPECT_EQ(p->Progress().held_bytes, 3 * 65536);
    p->CachePass();
    EXPECT_EQ(p->Progress().held_bytes, 3 * 65536);  // below the threshold: kept
    EXPECT_FALSE(p->IsVerified(PieceIndex(0)));
    ASSERT_TRUE(test::Feed(*p, stream, {3, 4, 5, 6, 7, 8}));
    p->CachePass();
    EXPECT_EQ(p->Progress().held_bytes, 0);
    EXPECT_EQ(p->Progress().verified_pieces, 9);
    EXPECT_EQ(test::ReadWholeFile(path).substr(0, 9 * 65536), stream.substr(0, 9 * 65536));

    // However rarely the task runs its pass, held data stays near the cache size.
    ASSERT_TRUE(test::Feed(*p, stream, test::Shuffled(40, 2)));
    EXPECT_LE(p->Progress().cached_bytes, 1 << 20);
    ASSERT_TRUE(p->WriteHeldPieces());
    EXPECT_EQ(p->Progress().verified_pieces, 40);
    EXPECT_EQ(p->Progress().bytes_left, 0);
}

TEST_F(PiecesData, IdlePartialDataIsWrittenAndHashedAheadOfCompletion) {
    params.idle_seconds = 60;  // early write after max(60 / 6, 15) = 15 idle seconds
    stream = test::RandomBytes(4 * 262144, 12);
    bool ok = false;
    RefPtr<TPieces> p = test::LoadPieces(
        &task, params, test::HandMadeMetainfo("big.bin", 262144, 4 * 262144, {}, stream), &ok);
    ASSERT_TRUE(ok);
    // Piece 1 holds 112 KiB: below the 128 KiB worth writing early.
    for (int64_t at = 262144; at < 262144 + 7 * B; at += B) {
        Add(*p, at, B);
    }
    // Piece 0 holds 10 blocks from its start and one more after a gap.
    for (int64_t at = 0; at < 10 * B; at += B) {
        Add(*p, at, B);
    }
    Add(*p, 12 * B, B);
    p->CachePass();
    EXPECT_EQ(p->BytesDone(PieceIndex(0)), 0);  // not idle yet
    now += 16;
    p->CachePass();
    EXPECT_EQ(p->BytesDone(PieceIndex(0)), 10 * B);
    EXPECT_EQ(p->BytesDone(PieceIndex(1)), 0);
    EXPECT_EQ(p->Progress().cached_bytes, 8 * B);
    EXPECT_EQ(p->MissingRange(PieceIndex(0)), std::make_pair(10 * B, 12 * B));
    EXPECT_EQ(test::ReadWholeFile(p->File(FileIndex(0)).path).substr(0, 10 * B),
              stream.substr(0, 10 * B));
    // The rest arrives: the digest continues from the kept state, the written part is not read.
    for (int64_t at = 10 * B; at < 262144; at += B) {
        Add(*p, at, B);
    }
    EXPECT_TRUE(p->IsComplete(PieceIndex(0)));
    ASSERT_TRUE(p->WriteHeldPieces());
    EXPECT_TRUE(p->IsVerified(PieceIndex(0)));
    EXPECT_EQ(test::ReadWholeFile(p->File(FileIndex(0)).path).substr(0, 262144),
              stream.substr(0, 262144));
}

TEST_F(PiecesData, TrimDropsTheOldestPartialDataWhenOverTheLimit) {
    params.cache_units = 4;  // 1 MiB
    RefPtr<TPieces> p = Make(64 * 65536);
    // 22 pieces with a gap each (no contiguous part to save), oldest first: over the limit.
    for (int64_t piece = 0; piece < 22; ++piece) {
        for (int64_t k = 1; k < 4; ++k) {
            Add(*p, piece * 65536 + k * B, B);
        }
        now += 1;
    }
    EXPECT_EQ(p->Progress().cached_bytes, 22 * 3 * B);
    p->CachePass();
    // Room of at least max(limit / 10, 256 KiB) is made by dropping the oldest.
    EXPECT_LE(p->Progress().cached_bytes, (1 << 20) - 262144);
    EXPECT_FALSE(p->HasBlock(PieceIndex(0), BlockIndex(1)));
    EXPECT_TRUE(p->HasBlock(PieceIndex(21), BlockIndex(1)));
}

TEST_F(PiecesData, ReadsServeOnlyVerifiedDataFromCacheOrDisk) {
    RefPtr<TPieces> p = Make(4 * 65536 + 100);
    std::vector<uint8_t> out(3000);
    EXPECT_EQ(p->ReadData(1000, out), -1);
    ASSERT_TRUE(test::Feed(*p, stream, {0, 4}));
    // Held (in memory only) is readable.
    ASSERT_EQ(p->ReadData(1000, out), 3000);
    EXPECT_EQ(std::string(out.begin(), out.end()), stream.substr(1000, 3000));
    ASSERT_TRUE(p->WriteHeldPieces());
    EXPECT_EQ(p->Progress().cached_bytes, 0);
    // From disk, across the end of the stream's last short piece.
    std::vector<uint8_t> tail(100);
    ASSERT_EQ(p->ReadData(4 * 65536, tail), 100);
    EXPECT_EQ(std::string(tail.begin(), tail.end()), stream.substr(4 * 65536));
    ASSERT_EQ(p->ReadData(1000, out), 3000);
    EXPECT_EQ(std::string(out.begin(), out.end()), stream.substr(1000, 3000));
    EXPECT_GE(p->Progress().cached_bytes, 65536);  // kept for the next request
    // A range that runs into an unverified piece is refused.
    std::vector<uint8_t> across(2 * B);
    EXPECT_EQ(p->ReadData(65536 - B, across), -1);
}

TEST_F(PiecesData, ReadsForUploadStayWithinTheCacheSizeWithoutACachePass) {
    params.cache_units = 4;  // 1 MiB
    RefPtr<TPieces> p = Make(65 * 65536);
    std::vector<int64_t> order(64);
    std::iota(order.begin(), order.end(), 0);
    ASSERT_TRUE(test::Feed(*p, stream, order));
    ASSERT_TRUE(p->WriteHeldPieces());
    // Partial data of the last piece, with a gap: only memory has it.
    ASSERT_EQ(Add(*p, 64 * 65536 + B, B), B);
    // A seeder serving the whole content, block by block, faster than any timed cache pass.
    std::vector<uint8_t> out(B);
    for (int round = 0; round < 2; ++round) {
        for (int64_t at = 0; at < 64 * 65536; at += B) {
            ASSERT_EQ(p->ReadData(at, out), B);
            ASSERT_EQ(std::memcmp(out.data(), stream.data() + at, B), 0) << at;
            ASSERT_LE(p->Progress().cached_bytes, 1 << 20) << at;
        }
    }
    // The newest reads are still served from memory; data not on disk is never dropped.
    EXPECT_GT(p->Progress().cached_bytes, 0);
    EXPECT_TRUE(p->HasBlock(PieceIndex(64), BlockIndex(1)));
}

}  // namespace
}  // namespace kf
