#include "engine/os/FileLock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace kf::os {
namespace {

// Holders exclude each other within one process as across processes, and the lock file goes with
// the lock.
TEST(FileLock, OneHolderAtATimeInAndAcrossProcesses) {
    test::TempDir dir;
    const std::string path = dir / "file.kfinfo.lock";
    FileLock first;
    FileLock second;
    ASSERT_EQ(first.Take(path), FileLock::Result::kTaken);
    EXPECT_EQ(second.Take(path), FileLock::Result::kHeldElsewhere);
    EXPECT_FALSE(second.Held());

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileLock other;
        _exit(other.Take(path) == FileLock::Result::kHeldElsewhere ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    first.Release();
    EXPECT_FALSE(test::FileExists(path));
    EXPECT_EQ(second.Take(path), FileLock::Result::kTaken);
    EXPECT_EQ(FileLock().Take(dir / "missing/folder/x.lock"), FileLock::Result::kFailed);
}

}  // namespace
}  // namespace kf::os
