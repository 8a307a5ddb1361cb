#include <gtest/gtest.h>

#include <cstring>

#include "engine/task/SourceEntry.h"
#include "engine/task/TBaseWork.h"
#include "engine/task/TaskProgress.h"
#include "engine/task/TaskSettings.h"

namespace {

using kf::SplitSourceLines;

TEST(SourceLines, SplitOnEveryLineEndAndTrimControlBytesAndBlanks) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(SplitSourceLines("a\n\n  b  "), (Lines{"a", "", "b"}));
    EXPECT_EQ(SplitSourceLines("a\r\nb\rc\n"), (Lines{"a", "b", "c"}));
    EXPECT_EQ(SplitSourceLines("\x01\x1f http://x/ \t"), (Lines{"http://x/"}));
    EXPECT_EQ(SplitSourceLines("\r\n\r\n"), (Lines{"", ""}));
    EXPECT_TRUE(SplitSourceLines("").empty());
    EXPECT_TRUE(SplitSourceLines(nullptr).empty());
}

TEST(TaskSettings, OutOfRangeValuesFallBackToTheirDefaults) {
    kf::TaskSettings settings;
    settings.download_limit_kib = 40000;
    settings.upload_limit_kib = 32766;
    settings.peer_limit = 0;
    settings.per_source_connections = 21;
    settings.cache_units = 8000;
    settings.seeding_hours = -1;
    settings.Validate();
    EXPECT_EQ(settings.download_limit_kib, 0);
    EXPECT_EQ(settings.upload_limit_kib, 32766);
    EXPECT_EQ(settings.peer_limit, 52);
    EXPECT_EQ(settings.per_source_connections, 1);
    EXPECT_EQ(settings.cache_units, 8000);
    EXPECT_EQ(settings.seeding_hours, 12);
}

TEST(TaskProgress, ProgressNeverDividesByZeroOrOverflows) {
    kf::TaskProgress progress;
    progress.bytes_done = 5;
    EXPECT_EQ(progress.Progress(), 0);
    progress.total_bytes = 3;
    progress.bytes_done = 1;
    EXPECT_EQ(progress.Progress(), 3333);
    progress.bytes_done = 3;
    EXPECT_EQ(progress.Progress(), 10000);
    progress.total_bytes = INT64_MAX;
    progress.bytes_done = INT64_MAX / 2;
    EXPECT_EQ(progress.Progress(), 5000);
}

// The base layers without a thread body of their own.
class IdleTask : public kf::TBaseWork {
  protected:
    void Run() override {}
};

TaskParams Params(const char* target, const char* sources, uint32_t flags) {
    TaskParams params;
    std::memset(&params, 0, sizeof(params));
    std::strcpy(params.target_path, target);
    std::strcpy(params.resume_path, "/tmp/r.kfinfo");
    params.sources = sources;
    params.flags = flags;
    return params;
}

TEST(TBaseWork, ConfigureChoosesKindPathsAndTorrentLine) {
    IdleTask bt;
    bt.Configure(Params("/data/game/setup.exe", " http://h/x.torrent \nhttp://h/x",
                        KF_FLAG_BT | KF_FLAG_FULL_PATH));
    EXPECT_STREQ(bt.KindText(), "BT Task");
    EXPECT_EQ(bt.TorrentLocation(), "http://h/x.torrent");
    EXPECT_EQ(bt.TargetFile(), "/data/game/setup.exe");
    EXPECT_EQ(bt.Folder(), "/data/game/");
    EXPECT_EQ(bt.SpillPath(), "/tmp/r.kfinfodf");
    ASSERT_EQ(bt.Sources().size(), 2u);
    EXPECT_EQ(bt.Sources()[0].mark, kf::SourceEntry::kTorrentLine);
    EXPECT_EQ(bt.Sources()[1].mark, kf::SourceEntry::kFresh);

    IdleTask http;
    http.Configure(Params("/data", "http://h/x", KF_FLAG_QUICK_CHECK));
    EXPECT_STREQ(http.KindText(), "HTTP Task");
    EXPECT_TRUE(http.Settings().quick_check);
    EXPECT_EQ(http.Folder(), "/data");
    EXPECT_TRUE(http.TargetFile().empty());

    // The P2SP bit wins over the BT bit.
    IdleTask p2sp;
    p2sp.Configure(Params("/data", "http://h/x", KF_FLAG_P2SP | KF_FLAG_BT));
    EXPECT_STREQ(p2sp.KindText(), "P2SP Task");
    EXPECT_EQ(p2sp.Sources()[0].mark, kf::SourceEntry::kFresh);
}

TEST(TBaseWork, SpeedLimitsAreValidatedAndMirrorsSwitchMirrorMode) {
    IdleTask task;
    task.Configure(Params("/data", "http://h/x", 0));
    EXPECT_EQ(task.SetSpeedLimit(1, 40000), 0);
    EXPECT_EQ(task.Settings().download_limit_kib, 0);
    EXPECT_EQ(task.SetSpeedLimit(0, 512), 0);
    EXPECT_EQ(task.Settings().upload_limit_kib, 512);
    EXPECT_EQ(task.SetSpeedLimit(2, 100), KF_ERR_PARAM);
    EXPECT_EQ(task.Settings().upload_limit_kib, 512);

    EXPECT_FALSE(task.MirrorMode());
    task.AddMirrors("http://m1/x\nhttp://m2/x", "m1");
    task.AddMirrors("http://m3/x", nullptr);
    EXPECT_TRUE(task.MirrorMode());
    EXPECT_EQ(task.MirrorUrls().size(), 3u);
    EXPECT_EQ(task.MirrorHosts().size(), 1u);
    task.ClearMirrors();
    EXPECT_FALSE(task.MirrorMode());
    EXPECT_TRUE(task.MirrorUrls().empty());
}

}  // namespace
