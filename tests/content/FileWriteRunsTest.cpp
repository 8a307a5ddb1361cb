// The file layer's gathered writes: cut into short runs, yet every byte lands where it belongs and
// a write stopped by a limit answers exactly what reached the file.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "engine/os/File.h"
#include "engine/os/FileSystem.h"
#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace kf {
namespace {

std::string Pattern(size_t size, int seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 4093 + static_cast<size_t>(seed)) & 0xFF);
    }
    return bytes;
}

// Vectors of uneven lengths over `bytes`, so that the runs cut vectors in their middle.
std::vector<iovec> Vectors(std::string& bytes) {
    std::vector<iovec> parts;
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
        const size_t length = std::min(bytes.size() - at, (i % 3 == 0) ? size_t{0} : 977 + i * 613);
        parts.push_back(iovec{bytes.data() + at, length});
        at += length;
    }
    return parts;
}

os::File OpenForWrite(const std::string& path) {
    return os::FileSystem::Default().Open(path, os::FileSystem::Mode::kReadWrite);
}

// Write calls made by the calling thread so far, or -1 where the kernel does not say.
int64_t WriteCalls() {
    std::ifstream io("/proc/thread-self/io");
    std::string line;
    while (std::getline(io, line)) {
        if (line.rfind("syscw:", 0) == 0) {
            return std::stoll(line.substr(6));
        }
    }
    return -1;
}

TEST(FileWriteRuns, GatheredWriteOfUnevenVectorsLandsInPlace) {
    test::TempDir dir;
    const std::string path = dir / "out.bin";
    ASSERT_TRUE(test::WriteFile(path, std::string(5000, 'x')));
    os::File file = OpenForWrite(path);
    ASSERT_TRUE(file.IsOpen());

    std::string bytes = Pattern(300001, 1);
    const std::vector<iovec> parts = Vectors(bytes);
    const std::vector<iovec> before = parts;
    ASSERT_EQ(file.WriteVecAt(1234, parts), 300001);
    // The caller's vectors are left as they were.
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].iov_base, before[i].iov_base);
        EXPECT_EQ(parts[i].iov_len, before[i].iov_len);
    }
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(test::ReadWholeFile(path), std::string(1234, 'x') + bytes);
}

TEST(FileWriteRuns, LargeWriteGoesOutInRunsOf32KiB) {
    test::TempDir dir;
    const std::string path = dir / "out.bin";
    ASSERT_TRUE(test::WriteFile(path, ""));
    os::File file = OpenForWrite(path);
    ASSERT_TRUE(file.IsOpen());
    const std::string bytes = Pattern(1 << 20, 2);

    // The sanitizer runtime probes memory with writes of its own the first time; let it do so
    // before counting.
    ASSERT_EQ(file.WriteAt(0, {reinterpret_cast<const uint8_t*>(bytes.data()), 10}), 10);
    const int64_t calls_before = WriteCalls();
    ASSERT_EQ(file.WriteAt(0, {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}),
              1 << 20);
    const int64_t calls_after = WriteCalls();
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(test::ReadWholeFile(path), bytes);
    if (calls_before < 0 || calls_after < 0) {
        GTEST_SKIP() << "no per-thread write counts on this kernel";
    }
    // 32 runs (a few more calls are allowed for the sanitizer's own probes; one call for the
    // whole megabyte is what must not happen).
    EXPECT_GE(calls_after - calls_before, 32);
    EXPECT_LE(calls_after - calls_before, 36);
}

TEST(FileWriteRuns, WriteStoppedByTheSizeLimitAnswersWhatReachedTheFile) {
    test::TempDir dir;
    const std::string path = dir / "out.bin";
    ASSERT_TRUE(test::WriteFile(path, ""));
    // The limit falls inside a run and inside a vector.
    constexpr int64_t kLimit = 3 * 32768 + 1000;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{kLimit, kLimit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(1);
        }
        os::File file = OpenForWrite(path);
        std::string bytes = Pattern(200000, 3);
        const std::vector<iovec> parts = Vectors(bytes);
        const int64_t written = file.WriteVecAt(0, parts);
        if (written != kLimit) {
            _exit(2);
        }
        // Nothing at all fits past the limit.
        if (file.WriteAt(kLimit, {reinterpret_cast<const uint8_t*>(bytes.data()), 10}) != -1) {
            _exit(3);
        }
        _exit(file.Close() ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::ReadWholeFile(path), Pattern(200000, 3).substr(0, kLimit));
}

}  // namespace
}  // namespace kf
