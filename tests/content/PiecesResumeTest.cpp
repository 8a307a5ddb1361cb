// Resuming a piece map: the record and spill file written at stop are accepted by the next map,
// refused when they no longer fit, survive a restart of the process, and survive being killed
// in the middle of a save.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/content/ResumeFile.h"
#include "engine/content/TPieces.h"
#include "support/ContentFiles.h"
#include "support/PiecesHarness.h"
#include "support/RecordingTaskLink.h"
#include "support/TempDir.h"

namespace kf {
namespace {

constexpr int32_t B = kBlockSize;

// What the task does around its piece map: keeps the resume file's parts from the notices,
// saves it, and hands it to the next piece map.
struct Session {
    Session(const std::string& folder, const std::string& resume_path, const std::string& metainfo,
            PiecesParams base = {})
        : resume(os::FileSystem::Default(), resume_path) {
        resume.Load();
        task.on_notice = [this](test::RecordingTaskLink&,
                                const test::RecordingTaskLink::Notice& n) {
            if (n.type == 1000) {
                resume.SetPart(n.bytes);
            } else if (n.type == 1001) {
                resume.SetBits(n.bytes);
            }
        };
        base.target_folder = folder;
        base.spill_path = resume_path + "df";
        base.resume_bytes = resume.bits();
        base.selection_bytes = resume.part();
        const std::string torrent = resume.torrent().empty() ? metainfo : resume.torrent();
        pieces = test::LoadPieces(&task, base, torrent, &loaded);
        resume.SetTorrent(torrent);
    }
    // The task's periodic save.
    bool Save() {
        pieces->WriteHeldPieces();
        pieces->ProduceResumeRecord();
        pieces->WriteSpillFile();
        return resume.Save();
    }
    // The task's stop.
    bool Stop() {
        pieces->Close(true, true);
        return resume.Save();
    }
    bool Accepted() const { return task.Count(3) == 2; }

    ResumeFile resume;
    test::RecordingTaskLink task;
    RefPtr<TPieces> pieces;
    bool loaded = false;
};

class PiecesResume : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::HaveMktorrent()) {
            GTEST_SKIP() << "mktorrent is not installed";
        }
        std::filesystem::create_directories(dir / "src");
        content = test::MakeContent(dir / "src", "game.bin", {8 * 262144 - 1000}, 18, 41);
        ASSERT_FALSE(content.metainfo.empty());
        folder = dir / "dl";
        resume_path = dir / "state/game.kfinfo";
        data_path = folder + "/game.bin.kftmp";
    }

    int64_t Add(TPieces& p, int64_t offset, int64_t n) {
        return p.AddData(offset,
                         {reinterpret_cast<const uint8_t*>(content.stream.data()) + offset,
                          static_cast<size_t>(n)},
                         nullptr, nullptr);
    }

    // Pieces the map claims whose bytes on disk are not the content's.
    std::vector<int64_t> WrongClaims(const TPieces& p) const {
        const std::string disk = test::ReadWholeFile(p.File(FileIndex(0)).path);
        std::vector<int64_t> wrong;
        for (int64_t i = 0; i < p.piece_count(); ++i) {
            const size_t at = static_cast<size_t>(i * content.piece_length);
            const size_t n = static_cast<size_t>(p.PieceSize(PieceIndex(i)));
            if (p.IsVerified(PieceIndex(i)) &&
                (disk.size() < at + n || disk.compare(at, n, content.stream, at, n) != 0)) {
                wrong.push_back(i);
            }
        }
        return wrong;
    }

    test::TempDir dir;
    test::Content content;
    std::string folder;
    std::string resume_path;
    std::string data_path;
    int64_t now = 5000;
};

TEST_F(PiecesResume, NextMapContinuesFromRecordAndSpillWithoutRereading) {
    PiecesParams params;
    params.idle_seconds = 60;
    params.now = [this] { return now; };
    {
        Session first(folder, resume_path, content.metainfo, params);
        ASSERT_TRUE(first.loaded);
        TPieces& p = *first.pieces;
        ASSERT_TRUE(test::Feed(p, content.stream, {0, 1}));
        for (int64_t k = 0; k < 8; ++k) {  // 128 KiB of piece 2, written early when idle
            Add(p, 2 * 262144 + k * B, B);
        }
        now += 16;
        p.CachePass();
        ASSERT_EQ(p.BytesDone(PieceIndex(2)), 8 * B);
        Add(p, 2 * 262144 + 10 * B, B);  // after a gap: only in memory
        for (int64_t k = 0; k < 4; ++k) {
            Add(p, 3 * 262144 + k * B, B);
        }
        ASSERT_TRUE(first.Stop());
        EXPECT_TRUE(test::FileExists(resume_path + "df"));
    }
    // Piece 0 changes on disk: an accepted record is not checked against the data.
    const std::string good = test::ReadWholeFile(data_path);
    std::string changed = good;
    changed[10] ^= 1;
    ASSERT_TRUE(test::WriteFile(data_path, changed));

    Session second(folder, resume_path, content.metainfo, params);
    ASSERT_TRUE(second.loaded);
    EXPECT_TRUE(second.Accepted());
    TPieces& p = *second.pieces;
    EXPECT_TRUE(p.IsVerified(PieceIndex(0)));
    EXPECT_TRUE(p.IsVerified(PieceIndex(1)));
    EXPECT_EQ(p.Progress().verified_pieces, 2);
    EXPECT_EQ(p.BytesDone(PieceIndex(2)), 8 * B);
    EXPECT_TRUE(p.HasBlock(PieceIndex(2), BlockIndex(10)));
    EXPECT_FALSE(p.HasBlock(PieceIndex(2), BlockIndex(9)));
    for (int64_t k = 0; k < 4; ++k) {
        EXPECT_TRUE(p.HasBlock(PieceIndex(3), BlockIndex(k)));
    }
    EXPECT_EQ(p.PartialPieces(), (std::vector<PieceIndex>{PieceIndex(2), PieceIndex(3)}));

    ASSERT_TRUE(test::WriteFile(data_path, good));
    ASSERT_TRUE(test::Feed(p, content.stream));
    EXPECT_EQ(p.Progress().verified_pieces, 0 + 2);  // the rest is held until written
    ASSERT_TRUE(second.Stop());
    EXPECT_EQ(p.Progress().verified_pieces, 8);
    EXPECT_EQ(test::ReadWholeFile(folder + "/game.bin"), content.stream);
    EXPECT_FALSE(test::FileExists(resume_path + "df"));
}

TEST_F(PiecesResume, PiecesWrittenAfterTheRecordAreFoundOnlyWhenTheFileTimeMoved) {
    // A killed task leaves pieces on disk that its last record does not claim. The next start
    // hashes them when the file's write time differs from the record's; reserved space never
    // written stays missing.
    struct Case {
        const char* name;
        bool time_moved;
        std::vector<int64_t> verified;
    };
    const Case cases[] = {
        {"time moved: pieces 4 and 5 are found", true, {0, 1, 4, 5}},
        {"time as recorded: the record is trusted", false, {0, 1}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string case_folder = folder + std::to_string(n);
        const std::string case_resume = resume_path + std::to_string(n++);
        const std::string case_data = case_folder + "/game.bin.kftmp";
        std::filesystem::file_time_type recorded;
        {
            Session first(case_folder, case_resume, content.metainfo);
            ASSERT_TRUE(first.loaded);
            ASSERT_TRUE(test::Feed(*first.pieces, content.stream, {0, 1}));
            ASSERT_TRUE(first.Save());
            recorded = std::filesystem::last_write_time(case_data);
            ASSERT_TRUE(test::Feed(*first.pieces, content.stream, {4, 5}));
            ASSERT_TRUE(first.pieces->WriteHeldPieces());
        }  // killed: the saved record still claims pieces 0 and 1 only
        std::filesystem::last_write_time(
            case_data, c.time_moved ? recorded + std::chrono::seconds(3) : recorded);

        Session second(case_folder, case_resume, content.metainfo);
        ASSERT_TRUE(second.loaded);
        EXPECT_TRUE(second.Accepted());
        TPieces& p = *second.pieces;
        std::vector<int64_t> verified;
        for (int64_t i = 0; i < p.piece_count(); ++i) {
            if (p.IsVerified(PieceIndex(i))) {
                verified.push_back(i);
            }
        }
        EXPECT_EQ(verified, c.verified);
        EXPECT_EQ(p.BytesDone(PieceIndex(2)), 0) << "reserved, never written";
        EXPECT_TRUE(WrongClaims(p).empty());
    }
}

TEST_F(PiecesResume, RecordThatNoLongerFitsMeansAFullRecheck) {
    {
        Session first(folder, resume_path, content.metainfo);
        ASSERT_TRUE(test::Feed(*first.pieces, content.stream, {1, 5}));
        ASSERT_TRUE(first.Stop());
    }
    // The file grew: the whole record is refused, the recheck finds the pieces anyway.
    {
        std::filesystem::resize_file(data_path, content.stream.size() + 1);
        Session second(folder, resume_path, content.metainfo);
        EXPECT_FALSE(second.Accepted());
        EXPECT_EQ(second.pieces->Progress().verified_pieces, 2);
        EXPECT_TRUE(second.pieces->IsVerified(PieceIndex(5)));
    }
    // The record of other content (another info-hash, same file names) is refused.
    std::filesystem::create_directories(dir / "src/other");
    const test::Content other =
        test::MakeContent(dir / "src", "other/game.bin", {8 * 262144 - 1000}, 18, 42);
    ASSERT_FALSE(other.metainfo.empty());
    ResumeFile saved(os::FileSystem::Default(), resume_path);
    ASSERT_TRUE(saved.Load());
    saved.SetTorrent(other.metainfo);
    ASSERT_TRUE(saved.Save());
    Session third(folder, resume_path, other.metainfo);
    EXPECT_TRUE(third.loaded);
    EXPECT_FALSE(third.Accepted());
    EXPECT_EQ(third.pieces->Progress().verified_pieces, 0);
}

TEST_F(PiecesResume, FileThatNeverExistedIsAcceptedAsAbsent) {
    const test::Content multi = test::MakeContent(dir / "src", "two", {300000, 300000}, 18, 43);
    ASSERT_FALSE(multi.metainfo.empty());
    {
        // The second file is skipped from the start (the selection list of an earlier run).
        ResumeFile earlier(os::FileSystem::Default(), resume_path);
        earlier.SetPart("l6:f0.binde6:f1.bini1edee");
        ASSERT_TRUE(earlier.Save());
        Session first(folder, resume_path, multi.metainfo);
        ASSERT_TRUE(first.pieces->File(FileIndex(1)).skipped());
        ASSERT_TRUE(test::Feed(*first.pieces, multi.stream, {0}));
        ASSERT_TRUE(first.Stop());
        EXPECT_FALSE(test::FileExists(first.pieces->File(FileIndex(1)).path));
    }
    Session second(folder, resume_path, multi.metainfo);
    EXPECT_TRUE(second.Accepted());
    EXPECT_TRUE(second.pieces->File(FileIndex(1)).skipped());
    EXPECT_TRUE(second.pieces->IsVerified(PieceIndex(0)));
}

// Runs `body` in a child process; answers its exit status (0 when every check held).
template <class Fn>
int InChild(Fn body) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(PiecesResume, SurvivesARestartOfTheProcess) {
    PiecesParams params;
    params.idle_seconds = 60;
    params.now = [this] { return now; };
    const int first = InChild([&] {
        Session s(folder, resume_path, content.metainfo, params);
        if (!s.loaded || !test::Feed(*s.pieces, content.stream, {0, 2, 4})) {
            return 1;
        }
        for (int64_t k = 0; k < 9; ++k) {
            Add(*s.pieces, 5 * 262144 + k * B, B);
        }
        now += 16;
        s.pieces->CachePass();
        return s.Stop() ? 0 : 2;
    });
    ASSERT_EQ(first, 0);
    const int second = InChild([&] {
        Session s(folder, resume_path, std::string());  // the metainfo comes from the resume file
        TPieces& p = *s.pieces;
        if (!s.loaded || !s.Accepted()) {
            return 1;
        }
        if (!p.IsVerified(PieceIndex(0)) || !p.IsVerified(PieceIndex(4)) ||
            p.Progress().verified_pieces != 3 || p.BytesDone(PieceIndex(5)) != 9 * B) {
            return 2;
        }
        if (!test::Feed(p, content.stream) || !s.Stop()) {
            return 3;
        }
        return test::ReadWholeFile(folder + "/game.bin") == content.stream ? 0 : 4;
    });
    EXPECT_EQ(second, 0);
}

TEST_F(PiecesResume, KilledDuringSavesLeavesARecordThatClaimsOnlyWhatIsOnDisk) {
    // Smaller pieces, so that a run is killed many times before it completes.
    content = test::MakeContent(dir / "src", "crash.bin", {32 * 65536 - 77}, 16, 44);
    ASSERT_FALSE(content.metainfo.empty());
    resume_path = dir / "state/crash.kfinfo";
    std::mt19937 random(7);
    int kills = 0;
    int64_t verified_before = 0;
    int accepted_rounds = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (int round = 0; round < 40 && std::chrono::steady_clock::now() < deadline; ++round) {
        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        const uint32_t seed = random();
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(pipe_fds[0]);
            auto mark = [&](char c) { (void)!write(pipe_fds[1], &c, 1); };
            Session s(folder, resume_path, content.metainfo);
            mark('l');
            std::mt19937 order(seed);
            for (int64_t piece : test::Shuffled(s.pieces->piece_count(), seed)) {
                if (s.pieces->IsVerified(PieceIndex(piece))) {
                    continue;
                }
                test::Feed(*s.pieces, content.stream, {piece});
                // Part of another piece stays in memory and goes to the spill file.
                const int64_t partial = static_cast<int64_t>(order() % 8);
                Add(*s.pieces, partial * 262144 + B, B);
                mark('f');
                s.pieces->WriteHeldPieces();
                mark('w');
                s.pieces->ProduceResumeRecord();
                mark('r');
                s.pieces->WriteSpillFile();
                mark('s');
                s.resume.Save();
                mark('S');
            }
            _exit(0);
        }
        close(pipe_fds[1]);
        // Kill after a random number of steps (or when the child finishes), then a random
        // spin of up to 300 microseconds, so that the kill lands anywhere in the next step.
        const int steps = 1 + static_cast<int>(random() % 40);
        for (int seen = 0; seen < steps;) {
            pollfd fd{pipe_fds[0], POLLIN, 0};
            if (poll(&fd, 1, 20000) <= 0) {
                break;
            }
            char c;
            if (read(pipe_fds[0], &c, 1) != 1) {
                break;
            }
            ++seen;
        }
        const auto spin_until =
            std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 300);
        while (std::chrono::steady_clock::now() < spin_until) {
        }
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        kills += WIFSIGNALED(status) ? 1 : 0;
        close(pipe_fds[0]);

        // What survived: a resume file that parses (or none yet), and a piece map that claims
        // nothing that is not on disk and has lost no piece that is.
        if (test::FileExists(resume_path)) {
            ResumeFile check(os::FileSystem::Default(), resume_path);
            ASSERT_TRUE(check.Load()) << "round " << round;
        }
        Session check(folder, resume_path, content.metainfo);
        ASSERT_TRUE(check.loaded);
        accepted_rounds += check.Accepted() ? 1 : 0;
        EXPECT_TRUE(WrongClaims(*check.pieces).empty()) << "round " << round;
        const int64_t verified = check.pieces->Progress().verified_pieces;
        EXPECT_GE(verified, verified_before) << "round " << round;
        verified_before = verified;
        if (verified == check.pieces->piece_count()) {
            break;
        }
    }
    EXPECT_GT(accepted_rounds, 0);
    EXPECT_GE(kills, 5);
    // The last survivor finishes the download.
    Session last(folder, resume_path, content.metainfo);
    ASSERT_TRUE(test::Feed(*last.pieces, content.stream));
    ASSERT_TRUE(last.Stop());
    EXPECT_EQ(test::ReadWholeFile(folder + "/crash.bin"), content.stream);
}

}  // namespace
}  // namespace kf
