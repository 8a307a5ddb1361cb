// The kfget tool as a user runs it: whole processes against a private nginx on loopback,
// interrupted and killed part-way, and its exit codes.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LoopbackPorts.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::NginxServer;
using test::TempDir;

const std::string kKfget = std::string(KF_BINARY_DIR) + "/kfget";

// What kfget's last progress line said (it writes one line a second when not on a terminal).
struct Progress {
    bool seen = false;
    double percent = 0;
    int64_t http_bytes = 0;
};

int64_t ToBytes(double value, const std::string& unit) {
    double factor = 1;
    if (unit == "KiB") {
        factor = 1024.0;
    } else if (unit == "MiB") {
        factor = 1024.0 * 1024;
    } else if (unit == "GiB") {
        factor = 1024.0 * 1024 * 1024;
    }
    return static_cast<int64_t>(value * factor);
}

// Every progress line of an output, in order.
std::vector<Progress> ProgressLines(const std::string& output) {
    static const std::regex kLine(R"(^\s*([0-9.]+)%\s.*HTTP ([0-9.]+) (B|KiB|MiB|GiB)\b.*$)");
    std::vector<Progress> lines;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch match;
        if (std::regex_match(line, match, kLine)) {
            Progress progress;
            progress.seen = true;
            progress.percent = std::strtod(match[1].str().c_str(), nullptr);
            progress.http_bytes = ToBytes(std::strtod(match[2].str().c_str(), nullptr), match[3]);
            lines.push_back(progress);
        }
    }
    return lines;
}

Progress LastProgress(const std::string& output) {
    const std::vector<Progress> lines = ProgressLines(output);
    return lines.empty() ? Progress{} : lines.back();
}

class Kfget : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NginxServer::Available() || !test::HaveMktorrent()) {
            GTEST_SKIP() << "needs nginx and mktorrent (scripts/install-deps)";
        }
    }

    void Serve(int64_t size) {
        content_ =
            test::MakeDownloadContent(www_ / "file.bin", size, 16, 1234, meta_ / "file.torrent");
        ASSERT_FALSE(content_.torrent_path.empty());
        ASSERT_TRUE(nginx_.Start(www_.Path())) << nginx_.ErrorLogText();
    }

    std::string Target() const { return out_ / "file.bin"; }
    std::string ResumePath() const { return out_ / "file.bin.kfinfo"; }

    // Every run's output, for failure messages.
    std::string AllLogs() const {
        std::string text;
        for (const auto& entry : std::filesystem::directory_iterator(logs_.Path())) {
            text += "--- " + entry.path().filename().string() + "\n" +
                    test::ReadWholeFile(entry.path().string());
        }
        return text;
    }

    std::vector<std::string> Command(const std::vector<std::string>& extra) const {
        std::vector<std::string> argv = {kKfget,
                                         "--torrent",
                                         content_.torrent_path,
                                         "--source",
                                         nginx_.Url("/file.bin"),
                                         "--file",
                                         Target(),
                                         "--resume",
                                         ResumePath()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    TempDir www_;
    TempDir meta_;
    TempDir out_;
    TempDir logs_;
    NginxServer nginx_;
    test::DownloadContent content_;
};

// Runs stopped by SIGINT (which writes what was fetched and saves the resume record) and killed by
// SIGKILL (which loses what the run had not yet written) at random points, each later run
// continuing with --recover. A stop keeps what its run fetched and says so, a kill never spoils
// what was kept before it, and the final run fetches only what the last stop had not kept.
TEST_F(Kfget, InterruptedAndKilledRunsResume) {
    constexpr int64_t kSize = 10 * 1024 * 1024;
    Serve(kSize);
    const auto seed = static_cast<uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFFFFFF);
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    const int kSignals[] = {SIGINT, SIGKILL, SIGINT, SIGKILL};
    std::vector<double> kept;      // the share each run said it had at its start, in percent
    std::vector<double> reported;  // the share each run said it had when it ended
    int round = 0;
    for (const int signal_number : kSignals) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string log = logs_ / ("run" + std::to_string(round) + ".txt");
        std::vector<std::string> extra = {"--limit", "1024"};
        if (round > 0) {
            extra.push_back("--recover");
        }
        ChildProcess child;
        ASSERT_TRUE(child.Start(Command(extra), log));
        ASSERT_TRUE(test::WaitUntil(
            [&] { return !ProgressLines(test::ReadWholeFile(log)).empty() || !child.IsRunning(); },
            30s));
        const std::vector<Progress> first = ProgressLines(test::ReadWholeFile(log));
        ASSERT_FALSE(first.empty()) << test::ReadWholeFile(log);
        kept.push_back(first.front().percent);
        // A random point: once the run has fetched a random share of the file, and a random part
        // of a second later.
        const auto goal =
            static_cast<int64_t>(std::uniform_real_distribution<double>(0.02, 0.1)(random) * kSize);
        ASSERT_TRUE(test::WaitUntil(
            [&] {
                const Progress now = LastProgress(test::ReadWholeFile(log));
                return now.http_bytes >= goal || !child.IsRunning();
            },
            30s))
            << test::ReadWholeFile(log);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 900)(random)));
        ASSERT_TRUE(child.IsRunning()) << "finished before it could be interrupted\n"
                                       << test::ReadWholeFile(log);
        kill(child.Pid(), signal_number);
        EXPECT_EQ(child.WaitExit(20s), signal_number == SIGINT ? 130 : 128 + SIGKILL)
            << test::ReadWholeFile(log);
        reported.push_back(LastProgress(test::ReadWholeFile(log)).percent);
        ++round;
    }

    const std::string log = logs_ / "final.txt";
    ASSERT_EQ(test::RunProgram(Command({"--recover"}), 120s, log), 0) << test::ReadWholeFile(log);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
    EXPECT_FALSE(test::FileExists(ResumePath())) << "a finished task drops its resume file";
    const Progress final_run = LastProgress(test::ReadWholeFile(log));

    // A stopped run reports what it keeps, and the run after it starts from exactly that (its
    // resume record is fresh); the stops made progress.
    for (size_t i = 0; i < reported.size(); ++i) {
        if (kSignals[i] == SIGINT) {
            EXPECT_NEAR(kept[i + 1], reported[i], 0.11) << "run " << i << "\n" << AllLogs();
        }
    }
    EXPECT_GT(reported[0], 0.0) << AllLogs();
    EXPECT_GT(reported[2], reported[0]) << AllLogs();
    // A kill never loses what a stop before it kept: the final run fetches only what the last
    // stop had not kept (pieces left incomplete at a stop may be fetched twice).
    constexpr int64_t kSlack = 4 * 65536;
    const auto left = static_cast<int64_t>((100 - reported[2]) / 100 * kSize);
    EXPECT_LE(final_run.http_bytes, left + kSlack) << AllLogs();
}

int RunQuietly(const std::vector<std::string>& argv, const std::string& log) {
    return test::RunProgram(argv, 60s, log);
}

TEST(KfgetUsage, MistakesInTheCommandExitWithOne) {
    TempDir dir;
    const std::vector<std::vector<std::string>> mistakes = {
        {kKfget},
        {kKfget, "--no-such-option", "--source", "http://127.0.0.1:9/f"},
        {kKfget, "--limit", "fast", "--source", "http://127.0.0.1:9/f"},
        {kKfget, "--timeout", "-4", "--source", "http://127.0.0.1:9/f"},
        {kKfget, "--seed", "--seed-hours", "20481", "--source", "http://127.0.0.1:9/f"},
        {kKfget, "--out", dir.Path(), "--file", dir / "f", "--source", "http://127.0.0.1:9/f"},
        {kKfget, "--rendezvous", "127.0.0.1", "--source", "http://127.0.0.1:9/f"},
        {kKfget, "--rendezvous", "127.0.0.1:0", "--source", "http://127.0.0.1:9/f"},
        {kKfget, "--rendezvous", ":82", "--source", "http://127.0.0.1:9/f"},
    };
    int index = 0;
    for (const std::vector<std::string>& argv : mistakes) {
        const std::string log = dir / ("usage" + std::to_string(index++) + ".txt");
        EXPECT_EQ(RunQuietly(argv, log), 1) << argv.back();
        EXPECT_NE(test::ReadWholeFile(log).find("kfget --help"), std::string::npos)
            << test::ReadWholeFile(log);
    }
    EXPECT_EQ(RunQuietly({kKfget, "--help"}, dir / "help.txt"), 0);
    EXPECT_NE(test::ReadWholeFile(dir / "help.txt").find("Exit status"), std::string::npos);
    EXPECT_NE(test::ReadWholeFile(dir / "help.txt").find("--rendezvous HOST:PORT"),
              std::string::npos);
}

// A torrent file that is missing or is not a torrent fails the task (2) with a sentence that says
// so, at once rather than after a time-out.
TEST(KfgetFailure, UnreadableTorrentExitsWithTwoAndSaysWhy) {
    TempDir dir;
    ASSERT_TRUE(test::WriteFile(dir / "junk.torrent", "this is no torrent"));
    for (const std::string& torrent : {dir / "missing.torrent", dir / "junk.torrent"}) {
        const std::string log = dir / "out.txt";
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(RunQuietly({kKfget, "--torrent", torrent, "--source", "http://127.0.0.1:9/f",
                              "--file", dir / "f.bin", "--timeout", "50"},
                             log),
                  2);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
        const std::string output = test::ReadWholeFile(log);
        EXPECT_NE(output.find("the torrent file could not be read or is not a torrent"),
                  std::string::npos)
            << output;
        std::remove(log.c_str());
    }
}

// A time-out ends the run with 3 and keeps the resume file; the same command with --recover
// finishes the file.
TEST_F(Kfget, TimeOutExitsWithThreeAndKeepsTheResumeFile) {
    Serve(2 * 1024 * 1024);
    const std::string log = logs_ / "slow.txt";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RunQuietly(Command({"--limit", "64", "--timeout", "2"}), log), 3)
        << test::ReadWholeFile(log);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_NE(test::ReadWholeFile(log).find("timed out"), std::string::npos);
    EXPECT_TRUE(test::FileExists(ResumePath()));
    EXPECT_FALSE(test::FileExists(Target())) << "an unfinished file keeps its temporary name";

    EXPECT_EQ(RunQuietly(Command({"--recover", "--timeout", "60"}), logs_ / "rest.txt"), 0)
        << test::ReadWholeFile(logs_ / "rest.txt");
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
}

// With a swarm behind the task, sources that refuse the file do not fail it: the task keeps
// waiting (for peers, or for a source to come back) until the user's time-out, and nothing is
// written under the file's final name.
TEST_F(Kfget, RefusingSourceAloneRunsUntilTheTimeOut) {
    Serve(256 * 1024);
    const std::string log = logs_ / "refused.txt";
    std::vector<std::string> argv = {
        kKfget,   "--torrent", content_.torrent_path, "--source", nginx_.Url("/no-such-file.bin"),
        "--file", Target(),    "--timeout",           "3"};
    EXPECT_EQ(RunQuietly(argv, log), 3) << test::ReadWholeFile(log);
    EXPECT_FALSE(test::FileExists(Target()));
}

// With --rendezvous the engine registers with a real kf-rendezvous and kfget reports the external
// address the server saw; the task itself runs on as before.
TEST_F(Kfget, RendezvousServerTellsTheExternalAddress) {
    Serve(256 * 1024);
    const int32_t port = test::FreeTcpUdpPort("127.0.0.1");
    ASSERT_NE(port, 0);
    test::ChildProcess server;
    ASSERT_TRUE(server.Start(
        {KF_BINARY_DIR "/kf-rendezvous", "--listen", "127.0.0.1:" + std::to_string(port)},
        logs_ / "rendezvous.txt"));
    const std::string log = logs_ / "rendezvous-kfget.txt";
    std::vector<std::string> argv = {kKfget,
                                     "--torrent",
                                     content_.torrent_path,
                                     "--source",
                                     nginx_.Url("/no-such-file.bin"),
                                     "--file",
                                     Target(),
                                     "--bind",
                                     "127.0.0.1",
                                     "--rendezvous",
                                     "127.0.0.1:" + std::to_string(port),
                                     "--timeout",
                                     "6",
                                     "--listen-port",
                                     std::to_string(test::FreeTcpUdpPort("127.0.0.1"))};
    EXPECT_EQ(RunQuietly(argv, log), 3) << test::ReadWholeFile(log);
    EXPECT_NE(test::ReadWholeFile(log).find("external address 127.0.0.1"), std::string::npos)
        << test::ReadWholeFile(log);
    EXPECT_EQ(server.Stop(), 0);
}

// -v tells the user what happens (from the engine's notices, not from its log text), the
// progress line counts servers and peers, and --log-dir receives the engine's channel files.
TEST_F(Kfget, VerboseRunSaysWhatHappens) {
    Serve(2 * 1024 * 1024);
    const std::string dead =
        "http://127.0.0.1:" + std::to_string(test::FreeTcpPort()) + "/file.bin";
    TempDir log_dir;
    const std::string log = logs_ / "verbose.txt";
    ASSERT_EQ(RunQuietly(Command({"-v", "--source", dead, "--log-dir", log_dir.Path()}), log), 0)
        << test::ReadWholeFile(log);
    const std::string said = test::ReadWholeFile(log);
    for (const std::string& line : {"kfget: connected to " + nginx_.Url("/file.bin") + " (server)",
                                    "kfget: dropped " + dead + ": could not connect",
                                    std::string("servers "), std::string("peers ")}) {
        EXPECT_NE(said.find(line), std::string::npos) << line << "\n" << said;
    }
    EXPECT_EQ(said.find("warning"), std::string::npos) << said;
    EXPECT_NE(test::ReadWholeFile(log_dir / "kfget.log").find("Create P2SP Task"),
              std::string::npos);
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
}

// One owner per download: a second kfget on the same file ends at once, says which file is
// taken, and touches nothing; the first finishes as if alone.
TEST_F(Kfget, SecondRunOnTheSameFileEndsAtOnceAndTheFirstFinishes) {
    Serve(2 * 1024 * 1024);
    test::ChildProcess first;
    ASSERT_TRUE(first.Start(Command({"--limit", "512", "--timeout", "60"}), logs_ / "first.txt"));
    ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(ResumePath() + ".lock"); }, 10s));
    const std::string log = logs_ / "second.txt";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RunQuietly(Command({"--timeout", "60"}), log), 2) << test::ReadWholeFile(log);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_NE(test::ReadWholeFile(log).find(ResumePath()), std::string::npos)
        << test::ReadWholeFile(log);
    EXPECT_EQ(first.WaitExit(60s), 0) << test::ReadWholeFile(logs_ / "first.txt");
    EXPECT_EQ(test::Sha1Hex(test::ReadWholeFile(Target())), test::Sha1Hex(content_.bytes));
    EXPECT_FALSE(test::FileExists(ResumePath() + ".lock"));
}

}  // namespace
}  // namespace kf
