// Piece map layout: files and pieces from real and hand-made metainfo, temporary names, the
// rename at completion, the selection list, and metainfo that tries to leave the target folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "engine/content/Bencode.h"
#include "engine/content/TPieces.h"
#include "support/ContentFiles.h"
#include "support/PiecesHarness.h"
#include "support/RecordingTaskLink.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using test::Content;
using test::HandMadeFile;
using test::HandMadeMetainfo;

class PiecesLayout : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::HaveMktorrent()) {
            GTEST_SKIP() << "mktorrent is not installed";
        }
        std::filesystem::create_directories(dir / "src");
        params.target_folder = dir / "dl";
    }

    RefPtr<TPieces> Load(const std::string& metainfo, bool expect_ok = true) {
        bool ok = false;
        RefPtr<TPieces> pieces = test::LoadPieces(&task, params, metainfo, &ok);
        EXPECT_EQ(ok, expect_ok);
        return pieces;
    }

    // Every path under the temporary folder, relative to it.
    std::set<std::string> Tree() const {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Path())) {
            out.insert(std::filesystem::relative(e.path(), dir.Path()).string());
        }
        return out;
    }

    test::TempDir dir;
    test::RecordingTaskLink task;
    PiecesParams params;
};

TEST_F(PiecesLayout, SingleFileIsWrittenUnderItsTemporaryNameVerifiedAndRenamed) {
    const Content c = test::MakeContent(dir / "src", "movie.bin", {300000}, 16, 1);
    ASSERT_FALSE(c.metainfo.empty());
    RefPtr<TPieces> pieces = Load(c.metainfo);
    EXPECT_EQ(pieces->piece_count(), 5);
    EXPECT_EQ(pieces->PieceSize(PieceIndex(4)), 300000 - 4 * 65536);
    ASSERT_EQ(task.Of(100).size(), 1u);
    EXPECT_EQ(task.Of(100)[0].number, 5);
    EXPECT_EQ(task.Of(100)[0].kind, 4);
    // Prepared (created, not yet grown) under the temporary name; nothing found on disk.
    EXPECT_EQ(test::FileSize(dir / "dl/movie.bin.kftmp"), 0);
    EXPECT_FALSE(test::FileExists(dir / "dl/movie.bin"));
    EXPECT_EQ(pieces->Progress().checked_bytes, 300000);
    EXPECT_EQ(pieces->Progress().verified_pieces, 0);

    ASSERT_TRUE(test::Feed(*pieces, c.stream, test::Shuffled(5, 9)));
    // Verified in memory (held) but not counted until written.
    EXPECT_EQ(pieces->Progress().verified_pieces, 0);
    EXPECT_GT(pieces->Progress().held_bytes, 0);
    ASSERT_TRUE(pieces->WriteHeldPieces());
    EXPECT_EQ(pieces->Progress().verified_pieces, 5);
    EXPECT_EQ(task.Count(1), 5);

    ASSERT_TRUE(pieces->Close(true, true));
    EXPECT_FALSE(test::FileExists(dir / "dl/movie.bin.kftmp"));
    EXPECT_EQ(test::ReadWholeFile(dir / "dl/movie.bin"), c.stream);
    EXPECT_EQ(pieces->File(FileIndex(0)).path, dir / "dl/movie.bin");
}

TEST_F(PiecesLayout, MultiFileOffsetsSpansAndFolderName) {
    const Content c = test::MakeContent(dir / "src", "pack", {70000, 1, 0, 200000}, 15, 2);
    ASSERT_FALSE(c.metainfo.empty());
    RefPtr<TPieces> pieces = Load(c.metainfo);
    ASSERT_EQ(pieces->FileCount(), c.files.size());
    int64_t offset = 0;
    for (size_t i = 0; i < c.files.size(); ++i) {
        const FileEntry& f = pieces->File(FileIndex(static_cast<int64_t>(i)));
        EXPECT_EQ(f.relative_path, c.files[i].first);
        EXPECT_EQ(f.final_path, dir / "dl/pack/" + c.files[i].first);
        EXPECT_EQ(f.offset, offset);
        EXPECT_EQ(f.first_piece, offset / 32768);
        offset += f.size;
    }
    ASSERT_TRUE(test::Feed(*pieces, c.stream, test::Shuffled(pieces->piece_count(), 3)));
    ASSERT_TRUE(pieces->Close(true, true));
    for (const auto& [rel, bytes] : c.files) {
        EXPECT_EQ(test::ReadWholeFile(dir / "dl/pack/" + rel), bytes) << rel;
    }

    // A target folder already named like the torrent is not nested twice (case ignored).
    params.target_folder = dir / "dl2/PACK";
    RefPtr<TPieces> again = Load(c.metainfo);
    EXPECT_EQ(again->File(FileIndex(0)).final_path, dir / "dl2/PACK/" + c.files[0].first);
}

TEST_F(PiecesLayout, PieceCountAndSpanRules) {
    const std::string stream = test::RandomBytes(65536 * 3 + 1, 4);
    EXPECT_TRUE(Load(HandMadeMetainfo("a", 65536, 65536 * 3 + 1, {}, stream, 4))->valid());
    Load(HandMadeMetainfo("a", 65536, 65536 * 3 + 1, {}, stream, 3), false);
    Load(HandMadeMetainfo("a", 65536, 65536 * 3 + 1, {}, stream, 5), false);
    Load(HandMadeMetainfo("a", 0, 100, {}, stream, 1), false);

    // A file at offset 100 of 28 bytes with 64-byte pieces touches one piece; 29 bytes, two.
    for (int64_t size : {28, 29}) {
        RefPtr<TPieces> p =
            Load(HandMadeMetainfo("s", 64, 0, {{{"a"}, 100}, {{"b"}, size}}, stream));
        EXPECT_EQ(p->File(FileIndex(1)).first_piece, 1);
        EXPECT_EQ(p->File(FileIndex(1)).piece_span, size == 28 ? 1 : 2);
    }
}

TEST_F(PiecesLayout, TemporaryNameRulesAndExistingFiles) {
    const std::string stream = test::RandomBytes(100000, 5);
    const std::string metainfo = HandMadeMetainfo("f.bin", 32768, 100000, {}, stream);

    // No suffix: written under the final name, nothing renamed.
    params.temp_suffix.clear();
    params.target_folder = dir / "plain";
    RefPtr<TPieces> plain = Load(metainfo);
    EXPECT_FALSE(plain->File(FileIndex(0)).temp_marked);
    ASSERT_TRUE(test::Feed(*plain, stream));
    ASSERT_TRUE(plain->Close(true, true));
    EXPECT_EQ(test::ReadWholeFile(dir / "plain/f.bin"), stream);
    EXPECT_FALSE(test::FileExists(dir / "plain/f.bin.kftmp"));

    // A final file that exists is used in place, and cut back when longer than its entry.
    params.temp_suffix = ".kftmp";
    params.target_folder = dir / "existing";
    std::filesystem::create_directories(dir / "existing");
    ASSERT_TRUE(test::WriteFile(dir / "existing/f.bin", stream + "trailing junk"));
    RefPtr<TPieces> existing = Load(metainfo);
    EXPECT_FALSE(existing->File(FileIndex(0)).temp_marked);
    // The start check found the content; the longer file was cut to its size.
    EXPECT_EQ(existing->Progress().verified_pieces, existing->piece_count());
    EXPECT_EQ(test::FileSize(dir / "existing/f.bin"), 100000);
    EXPECT_FALSE(test::FileExists(dir / "existing/f.bin.kftmp"));

    // A leftover temporary file is taken up even with the always-temporary setting off.
    params.always_temp_name = false;
    params.target_folder = dir / "leftover";
    std::filesystem::create_directories(dir / "leftover");
    ASSERT_TRUE(test::WriteFile(dir / "leftover/f.bin.kftmp", stream.substr(0, 40000)));
    RefPtr<TPieces> leftover = Load(metainfo);
    EXPECT_TRUE(leftover->File(FileIndex(0)).temp_marked);
    EXPECT_EQ(leftover->Progress().verified_pieces, 1);
}

TEST_F(PiecesLayout, RenameNeverReplacesAFileThatAppearedMeanwhile) {
    const std::string stream = test::RandomBytes(50000, 6);
    RefPtr<TPieces> p = Load(HandMadeMetainfo("f.bin", 32768, 50000, {}, stream));
    ASSERT_TRUE(test::Feed(*p, stream));
    ASSERT_TRUE(test::WriteFile(dir / "dl/f.bin", "someone else's file"));
    p->Close(true, true);
    EXPECT_EQ(test::ReadWholeFile(dir / "dl/f.bin"), "someone else's file");
    EXPECT_EQ(test::ReadWholeFile(dir / "dl/f.bin.kftmp"), stream);
    EXPECT_TRUE(p->File(FileIndex(0)).temp_marked);
}

TEST_F(PiecesLayout, HostileMetainfoIsRefusedWithoutTouchingTheDisk) {
    const std::string stream = test::RandomBytes(1000, 7);
    std::filesystem::create_directories(dir / "dl");
    const std::set<std::string> before = Tree();
    const std::vector<std::vector<std::string>> bad_paths = {{".."},
                                                             {"..", "escape.bin"},
                                                             {"a", "..", "..", "x"},
                                                             {"."},
                                                             {"a", "", "b"},
                                                             {"/etc/x"},
                                                             {"a/b"},
                                                             {"..\\x"},
                                                             {std::string("a\0b", 3)},
                                                             {"sub", "."}};
    for (const auto& path : bad_paths) {
        SCOPED_TRACE(path.front());
        Load(HandMadeMetainfo("t", 512, 0, {{{"ok.bin"}, 500}, {path, 500}}, stream), false);
        EXPECT_EQ(Tree(), before);
    }
    for (const std::string& name :
         {std::string(".."), std::string("a/../.."), std::string("/x"), std::string("..\\..")}) {
        SCOPED_TRACE(name);
        Load(HandMadeMetainfo(name, 512, 1000, {}, stream), false);
        Load(HandMadeMetainfo(name, 512, 0, {{{"ok.bin"}, 1000}}, stream), false);
        EXPECT_EQ(Tree(), before);
    }
    // Two entries with one name would write into the same file.
    Load(HandMadeMetainfo("t", 512, 0, {{{"x.bin"}, 500}, {{"x.bin"}, 500}}, stream), false);
    Load(HandMadeMetainfo("t", 512, 0, {{{"x.bin"}, 500}, {{"x.bin.kftmp"}, 500}}, stream), false);
    EXPECT_EQ(Tree(), before);
}

TEST_F(PiecesLayout, FolderEntriesAndTheEndOfTheFileList) {
    const std::string stream = test::RandomBytes(1500, 8);
    // A folder entry of length 0 makes the folder; '?' becomes '_'.
    RefPtr<TPieces> p = Load(HandMadeMetainfo(
        "t", 512, 0, {{{"empty?dir", ""}, 0}, {{"a.bin"}, 1000}, {{"b.bin"}, 500}}, stream));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "dl/t/empty_dir"));
    EXPECT_EQ(p->FileCount(), 2u);
    // A folder entry with a length ends the list: the rest is not read, so the pieces no
    // longer add up and the map is refused.
    Load(HandMadeMetainfo("t", 512, 0, {{{"a.bin"}, 1000}, {{"d", ""}, 5}, {{"b.bin"}, 500}},
                          stream),
         false);
}

TEST_F(PiecesLayout, SelectionListSkipsFilesAndIsReported) {
    const std::string stream = test::RandomBytes(3000, 9);
    const std::string metainfo = HandMadeMetainfo(
        "t", 1024, 0, {{{"a.bin"}, 1000}, {{"sub", "b.bin"}, 1000}, {{"c.bin"}, 1000}}, stream);
    RefPtr<TPieces> first = Load(metainfo);
    EXPECT_EQ(task.LastBytes(1000), "l5:a.binde9:sub/b.binde5:c.bindee");
    ASSERT_TRUE(first->SetFilePriority(FileIndex(1), FileEntry::kSkipped));
    const std::string selection = task.LastBytes(1000);
    EXPECT_EQ(selection, "l5:a.binde9:sub/b.bini1ede5:c.bindee");
    EXPECT_FALSE(first->SetFilePriority(FileIndex(7), 0));
    first.reset();

    // The next start reads the list back: the skipped file is neither created nor wanted.
    std::filesystem::remove_all(dir / "dl");
    params.selection_bytes = selection;
    RefPtr<TPieces> second = Load(metainfo);
    EXPECT_TRUE(second->File(FileIndex(1)).skipped());
    EXPECT_FALSE(second->File(FileIndex(0)).skipped());
    EXPECT_FALSE(test::FileExists(second->File(FileIndex(1)).path));
    EXPECT_TRUE(test::FileExists(second->File(FileIndex(0)).path));
}

}  // namespace
}  // namespace kf
