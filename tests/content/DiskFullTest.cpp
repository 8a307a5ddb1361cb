// A short or full disk: notices 1002/1003/1004, the wait for space, and data that could not be
// written is neither claimed nor lost. Never fills the real disk: the free-space answer is
// injected, or the disk is a small tmpfs made by the test (root only), or the file size is
// limited in a child process.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <string>

#include "engine/content/Bencode.h"
#include "engine/content/ResumeRecord.h"
#include "engine/content/TPieces.h"
#include "support/ContentFiles.h"
#include "support/PiecesHarness.h"
#include "support/RecordingTaskLink.h"
#include "support/TempDir.h"

namespace kf {
namespace {

// The real disk, with the free-space answers and file opens under the test's control.
class ControlledDisk : public os::FileSystem {
  public:
    int64_t FreeBytes(const std::string& folder) override {
        ++asked;
        if (!answers.empty()) {
            const int64_t a = answers.front();
            answers.pop_front();
            return a;
        }
        return otherwise >= 0 ? otherwise : FileSystem::FreeBytes(folder);
    }
    os::File Open(const std::string& path, Mode mode) override {
        if (mode == Mode::kReadWrite && path.find(refuse_writes_to) != std::string::npos &&
            !refuse_writes_to.empty()) {
            errno = EACCES;
            return os::File();
        }
        return FileSystem::Open(path, mode);
    }

    std::deque<int64_t> answers;
    int64_t otherwise = -1;  // -1: ask the real volume
    int asked = 0;
    std::string refuse_writes_to;
};

class DiskFull : public ::testing::Test {
  protected:
    void SetUp() override {
        params.target_folder = dir / "dl";
        params.file_system = &disk;
        params.space_wait_ms = 1;
        params.sleep = [this](int32_t) { ++sleeps; };
        stream = test::RandomBytes(3 << 20, 51);
        metainfo = test::HandMadeMetainfo("big.bin", 262144, 3 << 20, {}, stream);
        // As the task does: stop on a short disk or an unusable file.
        task.on_notice = [this](test::RecordingTaskLink& link,
                                const test::RecordingTaskLink::Notice& n) {
            if ((n.type == 1002 || n.type == 1004) && stop_on_trouble) {
                link.RequestStop();
            }
        };
    }

    std::vector<int32_t> DiskNotices() const {
        std::vector<int32_t> out;
        for (const auto& n : task.notices) {
            if (n.type >= 1002 && n.type <= 1004) {
                out.push_back(n.type);
            }
        }
        return out;
    }

    test::TempDir dir;
    test::RecordingTaskLink task;
    ControlledDisk disk;
    PiecesParams params;
    std::string stream;
    std::string metainfo;
    int sleeps = 0;
    bool stop_on_trouble = true;
};

TEST_F(DiskFull, ShortSpaceAtStartStopsTheTask) {
    disk.otherwise = 1000;
    bool ok = true;
    RefPtr<TPieces> p = test::LoadPieces(&task, params, metainfo, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(DiskNotices(), std::vector<int32_t>{1002});
    EXPECT_EQ(sleeps, 0);  // the stop request ends the wait at once
    EXPECT_LE(test::FileSize(dir / "dl/big.bin.kftmp"), 0);
}

TEST_F(DiskFull, WaitEndsWhenSpaceComesBack) {
    stop_on_trouble = false;
    disk.answers = {1000, 1000, 1000};
    disk.otherwise = int64_t{1} << 40;
    bool ok = false;
    RefPtr<TPieces> p = test::LoadPieces(&task, params, metainfo, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(DiskNotices(), (std::vector<int32_t>{1002, 1003}));
    EXPECT_EQ(sleeps, 3);
    ASSERT_TRUE(test::Feed(*p, stream));
    ASSERT_TRUE(p->Close(true, true));
    EXPECT_EQ(test::ReadWholeFile(dir / "dl/big.bin"), stream);

    // A volume that cannot be asked counts as 2 GiB free: no wait, no notice.
    disk.answers = {-1};
    params.target_folder = dir / "dl2";
    RefPtr<TPieces> unknown = test::LoadPieces(&task, params, metainfo, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(DiskNotices().size(), 2u);
}

TEST_F(DiskFull, FileThatCannotBeOpenedIsReported) {
    disk.refuse_writes_to = "big.bin";
    bool ok = true;
    RefPtr<TPieces> p = test::LoadPieces(&task, params, metainfo, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(DiskNotices(), std::vector<int32_t>{1004});
}

TEST_F(DiskFull, FullTmpfsKeepsUnwrittenPiecesForTheNextRun) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    const std::string small = dir / "small";
    std::filesystem::create_directories(small);
    if (test::RunProgram({"mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", small}) != 0) {
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    }
    struct Unmount {
        std::string at;
        ~Unmount() { test::RunProgram({"umount", at}); }
    } unmount{small};

    // The volume claims room it does not have, so the writes themselves run out of space.
    disk.otherwise = int64_t{1} << 40;
    stop_on_trouble = false;
    params.target_folder = small;
    params.preallocate = false;  // grows 1 MiB + one piece at a time
    params.spill_path = dir / "big.kfinfodf";
    std::string record;
    {
        bool ok = false;
        RefPtr<TPieces> p = test::LoadPieces(&task, params, metainfo, &ok);
        ASSERT_TRUE(ok);
        ASSERT_TRUE(test::Feed(*p, stream));
        EXPECT_FALSE(p->WriteHeldPieces());
        EXPECT_EQ(DiskNotices(), std::vector<int32_t>{1002});
        const int64_t written = p->Progress().verified_pieces;
        EXPECT_GT(written, 0);
        EXPECT_LT(written, p->piece_count());
        // Unwritten pieces stay in memory, are not claimed, and go to the spill file.
        EXPECT_EQ(p->Progress().cached_bytes,
                  static_cast<int64_t>(stream.size()) - written * 262144);
        p->Close(true, true);
        record = task.LastBytes(1001);
        ASSERT_FALSE(record.empty());
        const std::string disk_data = test::ReadWholeFile(small + "/big.bin.kftmp");
        ASSERT_GE(disk_data.size(), static_cast<size_t>(written * 262144));
        EXPECT_EQ(disk_data.substr(0, static_cast<size_t>(written * 262144)),
                  stream.substr(0, static_cast<size_t>(written * 262144)));
    }
    // Room again: the next run takes the record and the spilled blocks and finishes without
    // receiving anything.
    ASSERT_EQ(test::RunProgram({"mount", "-o", "remount,size=8m", small}), 0);
    params.resume_bytes = record;
    bool ok = false;
    RefPtr<TPieces> next = test::LoadPieces(&task, params, metainfo, &ok);
    ASSERT_TRUE(ok);
    ASSERT_TRUE(next->WriteHeldPieces());
    EXPECT_EQ(next->Progress().verified_pieces, next->piece_count());
    ASSERT_TRUE(next->Close(true, true));
    EXPECT_EQ(test::ReadWholeFile(small + "/big.bin"), stream);
}

TEST_F(DiskFull, FileSizeLimitIsReportedAndNothingIsClaimed) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1 << 20, 1 << 20};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(1);
        }
        disk.otherwise = int64_t{1} << 40;
        stop_on_trouble = false;
        bool ok = false;
        RefPtr<TPieces> p = test::LoadPieces(&task, params, metainfo, &ok);
        if (!ok || !test::Feed(*p, stream) || p->WriteHeldPieces()) {
            _exit(2);
        }
        if (DiskNotices() != std::vector<int32_t>{1002}) {
            _exit(3);
        }
        if (p->Progress().verified_pieces != 0 ||
            p->Progress().cached_bytes != static_cast<int64_t>(stream.size())) {
            _exit(4);
        }
        p->Close(true, false);
        const std::string record = task.LastBytes(1001);
        auto root = ParseValue(record);
        const QElement* bits = root ? root->NextSibling(root->FindText("BitField")) : nullptr;
        if (bits == nullptr || bits->Bytes() != std::string(2, '\0')) {
            _exit(5);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kf
