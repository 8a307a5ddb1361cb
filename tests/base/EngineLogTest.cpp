#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/CKestrelfetchLogApi.h"
#include "engine/base/EngineLog.h"
#include "engine/kestrelfetch.h"
#include "engine/os/DebugOutput.h"
#include "support/TempDir.h"

namespace {

using kf::CKestrelfetchLogApi;
using kf::test::TempDir;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Collects what reaches the debugger output while it lives.
class DebugCapture {
  public:
    DebugCapture() {
        kf::SetDebugOutputCapture([this](std::string_view line) {
            std::lock_guard<std::mutex> hold(mutex_);
            lines_.emplace_back(line);
        });
    }
    ~DebugCapture() { kf::SetDebugOutputCapture({}); }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> hold(mutex_);
        return lines_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(EngineLog, ThresholdsChooseDebugOutputAndChannelFiles) {
    TempDir dir;
    DebugCapture capture;
    CKestrelfetchLogApi log;
    const std::string prefix = dir / "engine";
    log.SetPathPrefix(prefix.c_str());

    log.Write("task line", 23, 23);
    log.Write("dump line", 38, 38);
    log.Write("quiet line", 1, 1);  // below the debug threshold, below the file threshold

    const std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("] [task line]\n"), std::string::npos);
    EXPECT_EQ(lines[0].front(), '[');
    EXPECT_FALSE(std::filesystem::exists(prefix + ".log"));
    EXPECT_NE(ReadAll(prefix + ".dump.log").find("[dump line]\n"), std::string::npos);

    // Lower file threshold: channels map to their own files.
    log.SetThresholds(0, 2);
    log.Write("request", 4, 4);
    log.Write("peer info", 31, 31);
    log.Write("other", 12, 12);
    EXPECT_NE(ReadAll(prefix + ".req.log").find("[request]"), std::string::npos);
    EXPECT_NE(ReadAll(prefix + ".peerinfo.log").find("[peer info]"), std::string::npos);
    EXPECT_NE(ReadAll(prefix + ".log").find("[other]"), std::string::npos);
    EXPECT_EQ(log.FileForChannel(9), prefix + ".checkpeer.log");
    EXPECT_EQ(log.FileForChannel(29), prefix + ".written.log");
    EXPECT_EQ(log.FileForChannel(37), prefix + ".checktask.log");

    // 39 in the debug threshold switches the files off; 39 in both switches everything off.
    log.SetThresholds(0, 39);
    log.Write("no file", 38, 38);
    EXPECT_EQ(ReadAll(prefix + ".dump.log").find("no file"), std::string::npos);
    log.SetThresholds(39, 39);
    log.Write("nothing", 38, 38);
    EXPECT_EQ(capture.Lines().size(), 2u + 3u);
}

TEST(EngineLog, LongTextIsCutAndNoFileExistsBeforeThePrefix) {
    TempDir dir;
    DebugCapture capture;
    CKestrelfetchLogApi log;
    log.Write(std::string(10000, 'x').c_str(), 38, 38);
    ASSERT_EQ(capture.Lines().size(), 1u);
    const std::string line = capture.Lines()[0];
    EXPECT_LE(line.size(), CKestrelfetchLogApi::kLineMax - 1);
    EXPECT_EQ(line.substr(line.size() - 2), "]\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));

    log.DebugPrintf("value %d of %s", 7, std::string(9000, 'y').c_str());
    const std::string printed = capture.Lines().back();
    EXPECT_LE(printed.size(), CKestrelfetchLogApi::kLineMax - 1);
    EXPECT_NE(printed.find("] [value 7 of yyy"), std::string::npos);
    EXPECT_EQ(printed.substr(printed.size() - 3), "]\r\n");
}

TEST(EngineLog, GlobalLogWritesUntilReleasedAndLinesNeverInterleave) {
    TempDir dir;
    CreateEngineLog();
    const std::string prefix = dir / "app";
    EngineLogSetPathPrefix(prefix.c_str());
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            const std::string text = std::string(200, static_cast<char>('a' + t));
            for (int i = 0; i < 200; ++i) {
                EngineLogWrite(text.c_str(), 38, 38);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    ReleaseEngineLog();
    EngineLogWrite("after release", 38, 38);

    std::istringstream lines(ReadAll(prefix + ".dump.log"));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        const size_t text = line.find("] [") + 3;
        const char letter = line[text];
        EXPECT_EQ(line.substr(text, 200), std::string(200, letter));
        EXPECT_EQ(line.substr(text + 200), "]");
    }
    EXPECT_EQ(count, 800);
}

// Writers ask before they build a line; the answer follows the thresholds and the log's life.
TEST(EngineLog, ALineIsWantedOnlyWhileSomethingWouldTakeIt) {
    using kf::EngineLogWants;
    using kf::LogChannel;
    EXPECT_FALSE(EngineLogWants(LogChannel::kDump));  // no log yet
    CreateEngineLog();
    EXPECT_FALSE(EngineLogWants(LogChannel::kTrace));
    EXPECT_TRUE(EngineLogWants(LogChannel::kTask));  // the debugger output takes level 23
    EngineLogSetThresholds(39, 39);
    EXPECT_FALSE(EngineLogWants(LogChannel::kDump));
    EngineLogSetThresholds(38, 1);
    EXPECT_TRUE(EngineLogWants(LogChannel::kTrace));
    ReleaseEngineLog();
    EXPECT_FALSE(EngineLogWants(LogChannel::kTrace));
}

}  // namespace
