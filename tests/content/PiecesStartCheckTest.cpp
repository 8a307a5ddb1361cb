// The piece map's start check: full recheck, quick check and taking over a previous map.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/content/TPieces.h"
#include "support/ContentFiles.h"
#include "support/PiecesHarness.h"
#include "support/RecordingTaskLink.h"
#include "support/TempDir.h"

namespace kf {
namespace {

class StartCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::HaveMktorrent()) {
            GTEST_SKIP() << "mktorrent is not installed";
        }
        std::filesystem::create_directories(dir / "src");
        content = test::MakeContent(dir / "src", "pack", {70000, 100000, 50000}, 15, 21);
        ASSERT_FALSE(content.metainfo.empty());
        params.target_folder = dir / "dl";
    }

    // Puts the content's files where the piece map will look for them.
    void PlaceFiles(const std::string& suffix = "") {
        for (const auto& [rel, bytes] : content.files) {
            std::filesystem::create_directories(
                std::filesystem::path(dir / "dl/pack/" + rel).parent_path());
            ASSERT_TRUE(test::WriteFile(dir / "dl/pack/" + rel + suffix, bytes));
        }
    }

    // Flips one byte of the stream on disk.
    void Corrupt(int64_t stream_offset, const std::string& suffix = "") {
        int64_t start = 0;
        for (const auto& [rel, bytes] : content.files) {
            const int64_t size = static_cast<int64_t>(bytes.size());
            if (stream_offset < start + size) {
                std::string changed = bytes;
                changed[static_cast<size_t>(stream_offset - start)] ^= 0x40;
                ASSERT_TRUE(test::WriteFile(dir / "dl/pack/" + rel + suffix, changed));
                return;
            }
            start += size;
        }
    }

    RefPtr<TPieces> Load(bool expect_ok = true) {
        bool ok = false;
        RefPtr<TPieces> p = test::LoadPieces(&task, params, content.metainfo, &ok);
        EXPECT_EQ(ok, expect_ok);
        return p;
    }

    std::vector<int64_t> Verified(const TPieces& p) const {
        std::vector<int64_t> out;
        for (int64_t i = 0; i < p.piece_count(); ++i) {
            if (p.IsVerified(PieceIndex(i))) {
                out.push_back(i);
            }
        }
        return out;
    }

    test::TempDir dir;
    test::RecordingTaskLink task;
    PiecesParams params;
    test::Content content;
};

TEST_F(StartCheck, FullRecheckVerifiesWhatIsIntactAndSkipsMissingFiles) {
    // 220000 bytes in 32 KiB pieces: 7 pieces; the second file covers pieces 2..5.
    ASSERT_EQ(content.piece_count(), 7);
    ASSERT_EQ(content.files[1].second.size(), 100000u);
    PlaceFiles(".kftmp");
    Corrupt(40000, ".kftmp");  // piece 1
    std::filesystem::remove(dir / "dl/pack/" + content.files[1].first + ".kftmp");
    RefPtr<TPieces> p = Load();
    EXPECT_EQ(Verified(*p), (std::vector<int64_t>{0, 6}));
    EXPECT_EQ(p->Progress().checked_bytes, 220000);
    EXPECT_EQ(p->Progress().verified_bytes, 32768 + (220000 - 6 * 32768));
    EXPECT_EQ(task.Count(3), 1);

    // Downloading the rest completes the content in place.
    ASSERT_TRUE(test::Feed(*p, content.stream));
    ASSERT_TRUE(p->Close(true, true));
    for (const auto& [rel, bytes] : content.files) {
        EXPECT_EQ(test::ReadWholeFile(dir / "dl/pack/" + rel), bytes);
    }
}

TEST_F(StartCheck, QuickCheckTrustsFullSizeFilesAfterThreeSamples) {
    params.quick_check = true;
    PlaceFiles();
    Corrupt(40000);  // piece 1 is not among the samples 0, 3 and 6
    RefPtr<TPieces> quick = Load();
    EXPECT_EQ(quick->Progress().verified_pieces, 7);
    EXPECT_EQ(task.Of(2).size(), 1u);
    EXPECT_EQ(task.Of(2)[0].value, 1);

    // A bad sample fails the start check, and nothing is claimed.
    PlaceFiles();
    Corrupt(3 * 32768 + 5);
    RefPtr<TPieces> failed = Load(false);
    EXPECT_EQ(failed->Progress().verified_pieces, 0);

    // A file of another size: the full recheck decides instead.
    PlaceFiles();
    ASSERT_TRUE(test::WriteFile(dir / "dl/pack/" + content.files[2].first, "short"));
    RefPtr<TPieces> fallback = Load();
    EXPECT_EQ(Verified(*fallback), (std::vector<int64_t>{0, 1, 2, 3, 4}));
}

TEST_F(StartCheck, RebuiltMapTakesOverPathsAndStatesOfThePreviousOne) {
    RefPtr<TPieces> old = Load();
    ASSERT_TRUE(test::Feed(*old, content.stream, {0, 3}));
    ASSERT_TRUE(old->WriteHeldPieces());
    // Piece 5 complete in memory (held), piece 6 partly received.
    const auto* bytes = reinterpret_cast<const uint8_t*>(content.stream.data());
    for (int64_t k : {0, 1}) {
        old->AddData(5 * 32768 + k * 16384, {bytes + 5 * 32768 + k * 16384, 16384}, nullptr,
                     nullptr);
    }
    ASSERT_TRUE(old->IsComplete(PieceIndex(5)));
    old->AddData(6 * 32768, {bytes + 6 * 32768, 16384}, nullptr, nullptr);

    params.target_folder = dir / "elsewhere";
    RefPtr<TPieces> fresh =
        RefPtr<TPieces>::Make(&task, params, RefPtr<TTorrent>(), RefPtr<TPieces>(old));
    fresh->torrent()->SetMetainfoBytes(content.metainfo);
    ASSERT_TRUE(fresh->torrent()->Load());
    // Same files as before, not a new folder.
    EXPECT_EQ(fresh->File(FileIndex(0)).path, old->File(FileIndex(0)).path);
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere/pack"));
    EXPECT_EQ(Verified(*fresh), (std::vector<int64_t>{0, 3}));
    EXPECT_TRUE(fresh->IsComplete(PieceIndex(5)));
    EXPECT_TRUE(fresh->HasBlock(PieceIndex(6), BlockIndex(0)));
    EXPECT_EQ(old->Progress().cached_bytes, 0);
    ASSERT_TRUE(test::Feed(*fresh, content.stream));
    ASSERT_TRUE(fresh->Close(true, true));
    for (const auto& [rel, b] : content.files) {
        EXPECT_EQ(test::ReadWholeFile(dir / "dl/pack/" + rel), b);
    }
}

}  // namespace
}  // namespace kf
