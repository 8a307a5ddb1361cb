// One downloader per data folder, with real processes of one helper program: a later instance
// has the first show itself; a hung first instance of the same program is ended and replaced;
// a lock held by another program is never signalled.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "app/platform/SingleInstance.h"
#include "support/ChildProcess.h"
#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace kf::app {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::ReadWholeFile;
using test::TempDir;

// Waits (at most `timeout`) until `path` holds `text`.
bool WaitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds timeout = 10000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ReadWholeFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class SingleInstanceTest : public ::testing::Test {
  protected:
    bool StartInstance(ChildProcess* child, const std::string& output) {
        return child->Start({KF_APP_PROBE, "instance", data_, dir_ / "shows.log"}, output);
    }

    TempDir dir_;
    const std::string data_ = dir_ /
                              "a/rather/deep/data/folder/for/the/socket/name/to/exceed/"
                              "what/a/unix/socket/address/holds/Kestrelfetchabb4e541009f72";
};

TEST_F(SingleInstanceTest, ALaterInstanceHasTheFirstShowItselfAndEnds) {
    ChildProcess first;
    ASSERT_TRUE(StartInstance(&first, dir_ / "first.out"));
    ASSERT_TRUE(WaitForText(dir_ / "first.out", "first\n"));
    for (int round = 1; round <= 2; ++round) {
        ChildProcess later;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(StartInstance(&later, dir_ / "later.out"));
        EXPECT_EQ(later.WaitExit(5000ms), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
        EXPECT_EQ(ReadWholeFile(dir_ / "shows.log"), round == 1 ? "show\n" : "show\nshow\n");
    }
    EXPECT_TRUE(first.IsRunning());
    EXPECT_EQ(ReadWholeFile(data_ + "/instance.lock"), std::to_string(first.Pid()) + "\n");
}

TEST_F(SingleInstanceTest, AHungFirstInstanceOfThisProgramIsEndedAndReplaced) {
    ChildProcess first;
    ASSERT_TRUE(StartInstance(&first, dir_ / "first.out"));
    ASSERT_TRUE(WaitForText(dir_ / "first.out", "first\n"));
    ASSERT_EQ(kill(first.Pid(), SIGSTOP), 0);
    ChildProcess later;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(StartInstance(&later, dir_ / "later.out"));
    ASSERT_TRUE(WaitForText(dir_ / "later.out", "first\n"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);  // it waited for an answer
    EXPECT_EQ(first.WaitExit(5000ms), 128 + SIGKILL);
    EXPECT_EQ(ReadWholeFile(data_ + "/instance.lock"), std::to_string(later.Pid()) + "\n");

    // The new first instance answers in turn.
    ChildProcess third;
    ASSERT_TRUE(StartInstance(&third, dir_ / "third.out"));
    EXPECT_EQ(third.WaitExit(5000ms), 0);
    EXPECT_TRUE(WaitForText(dir_ / "shows.log", "show\n"));
}

TEST_F(SingleInstanceTest, ALockHeldByAnotherProgramIsNeverSignalled) {
    ASSERT_TRUE(std::filesystem::create_directories(data_));
    const std::string lock = data_ + "/instance.lock";
    // A shell that takes the lock and becomes sleep, which keeps it.
    ChildProcess holder;
    ASSERT_TRUE(
        holder.Start({"/bin/sh", "-c", "exec 9>'" + lock + "' && flock -x 9 && exec sleep 30"}));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    bool held = false;
    while (!held && std::chrono::steady_clock::now() < deadline) {
        const int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (fd >= 0) {
            close(fd);
        }
        if (!held) {
            std::this_thread::sleep_for(10ms);
        }
    }
    ASSERT_TRUE(held);
    ASSERT_TRUE(test::WriteFile(lock, std::to_string(holder.Pid()) + "\n"));

    ChildProcess later;
    ASSERT_TRUE(StartInstance(&later, dir_ / "later.out"));
    EXPECT_EQ(later.WaitExit(5000ms), 3);
    EXPECT_EQ(ReadWholeFile(dir_ / "later.out"), "failed\n");
    EXPECT_TRUE(holder.IsRunning());
}

TEST_F(SingleInstanceTest, ASecondClaimInOneProcessIsAnsweredByTheFirst) {
    std::atomic<int> shown{0};
    SingleInstance::Outcome outcome = SingleInstance::Outcome::kFailed;
    auto first = SingleInstance::Claim(
        data_, [&shown] { ++shown; }, &outcome);
    ASSERT_EQ(outcome, SingleInstance::Outcome::kFirst);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(SingleInstance::Claim(data_, nullptr, &outcome), nullptr);
    EXPECT_EQ(outcome, SingleInstance::Outcome::kOtherShown);
    EXPECT_EQ(shown.load(), 1);
    first.reset();  // gives the claim up
    auto again = SingleInstance::Claim(data_, nullptr, &outcome);
    EXPECT_EQ(outcome, SingleInstance::Outcome::kFirst);
    EXPECT_NE(again, nullptr);
}

}  // namespace
}  // namespace kf::app
