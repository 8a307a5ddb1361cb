// Connection budgets, speed limits, the disk-space watch and the resource list's mirrors as the
// controller hands them to its tasks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ControllerHarness.h"
#include "app/IniKeys.h"
#include "app/ResourceFetchWorker.h"
#include "app/TaskLimits.h"

namespace kf::app::test {
namespace {

TEST(ControllerLimits, SharesSplitTheTotalAmongTheActiveTasks) {
    const struct {
        int32_t total;
        int count;
        std::vector<int32_t> shares;
    } splits[] = {{36, 3, {12, 12, 12}}, {36, 2, {18, 18}}, {10, 3, {4, 3, 3}},
                  {108, 1, {108}},       {2, 3, {1, 1, 1}}, {5, 0, {}}};
    for (const auto& c : splits) {
        EXPECT_EQ(TaskLimits::Split(c.total, c.count), c.shares) << c.total << "/" << c.count;
    }
    const struct {
        int32_t limit;
        int count;
        int32_t share;
    } speeds[] = {{100, 3, 33},      {25, 3, 10}, {100, 1, 100}, {100, 0, 100},
                  {30000, 2, 15000}, {0, 3, 0},   {0, 1, 0}};
    for (const auto& c : speeds) {
        EXPECT_EQ(TaskLimits::SpeedShare(c.limit, c.count), c.share) << c.limit << "/" << c.count;
    }
}

// The product's rendezvous server and DHT nodes reach the engine at start-up, and the DHT is
// switched on with the nodes; a product without them sets none and leaves the DHT off.
TEST(ControllerLimits, StartUpHandsTheProductsRendezvousServerAndDhtNodesToTheEngine) {
    for (const bool with_servers : {true, false}) {
        ControllerHarness h;
        if (with_servers) {
            h.config.product.rendezvous_host = "127.0.0.7";
            h.config.product.rendezvous_port = 8282;
            h.config.product.dht_bootstrap = "127.0.0.2:6881,127.0.0.3:6881";
        }
        h.Make();
        ASSERT_EQ(h.Init(), 0);
        EXPECT_EQ(h.engine.Count("SetRendezvousServer 127.0.0.7:8282"), with_servers ? 1 : 0);
        EXPECT_EQ(h.engine.Count("SetRendezvousServer"), with_servers ? 1 : 0);
        EXPECT_EQ(h.engine.Count("SetDhtBootstrapNodes 127.0.0.2:6881,127.0.0.3:6881"),
                  with_servers ? 1 : 0);
        EXPECT_EQ(h.engine.Count("EnableDht 1"), with_servers ? 1 : 0);
        EXPECT_EQ(h.engine.Count("EnableDht"), with_servers ? 1 : 0);
    }
}

TEST(ControllerLimits, BudgetsAndLimitsFollowTheFilesStillDownloading) {
    const struct {
        const char* link;  // KestrelfetchTaskLink; empty: no file
        int32_t http_each;
    } links[] = {{"", 12}, {"9", 12}, {"10", 4}, {"200", 67}, {"201", 12}, {"-1", 12}};
    for (const auto& c : links) {
        SCOPED_TRACE(c.link);
        ControllerHarness h;
        if (*c.link != '\0') {
            ASSERT_TRUE(IniFile(h.config.task_link_file)
                            .WriteString(ini::kTaskSection, ini::kTaskLink, c.link));
        }
        h.ReachDownloading();
        EXPECT_EQ(h.Task(0)->source_limit, c.http_each);
        EXPECT_EQ(h.Task(0)->peer_limit, 36);
    }

    ControllerHarness h;
    h.ReachDownloading();
    EXPECT_EQ(h.engine.Count("SetTaskConnectionLimits"), 3);
    h.Run(5);
    EXPECT_EQ(h.engine.Count("SetTaskConnectionLimits"), 3) << "nothing changed: nothing sent";
    // "No limit" is 0 for the engine, whatever the number of tasks.
    EXPECT_EQ(h.Task(2)->speed_limit, 0);

    h.Do(action::SpeedLimit{100});
    EXPECT_EQ(h.Task(2)->speed_limit, 33);
    for (const int32_t refused : {9, 30001, -5}) {
        h.Do(action::SpeedLimit{refused});
        EXPECT_EQ(h.Task(2)->speed_limit, 33);
    }
    EXPECT_EQ(h.messages.Count("您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！"),
              3);

    h.CompleteFile(0);
    h.Run(1);
    EXPECT_EQ(h.Task(1)->source_limit, 18);
    EXPECT_EQ(h.Task(2)->peer_limit, 54);
    EXPECT_EQ(h.Task(1)->speed_limit, 50);
    h.Do(action::SpeedLimit{0});
    EXPECT_EQ(h.Task(1)->speed_limit, 0);
}

TEST(ControllerLimits, TheSpaceWatchPausesBelowTheReserveAndNotBetween) {
    const int64_t required = ControllerHarness::kMiB * 3 + ProductInfo::kReserveBytes;
    const int64_t reserve = ProductInfo::kReserveBytes;
    const struct {
        const char* name;
        DiskInfo::VolumeMode mode;
        int64_t free;
        int64_t downloaded;
        DownloadState after;
        bool low_space;
        const char* message;
    } cases[] = {
        {"room enough", DiskInfo::VolumeMode::kSparse, required, 0, DownloadState::kDownloading,
         false, ""},
        {"the downloaded bytes count", DiskInfo::VolumeMode::kSparse, required - 1000, 1000,
         DownloadState::kDownloading, false, ""},
        {"between the thresholds", DiskInfo::VolumeMode::kSparse, required - reserve, 0,
         DownloadState::kDownloading, false, ""},
        {"below the reserve", DiskInfo::VolumeMode::kSparse, required - reserve - 1, 0,
         DownloadState::kPause, true, "预留磁盘空间不足，下载暂停。"},
        {"preallocated: no watch", DiskInfo::VolumeMode::kPreallocates, 0, 0,
         DownloadState::kDownloading, false, ""},
        {"not sparse: no watch", DiskInfo::VolumeMode::kNotSparse, 0, 0,
         DownloadState::kDownloading, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerHarness h(
            {ControllerHarness::kMiB, ControllerHarness::kMiB, ControllerHarness::kMiB});
        h.disk.mode = c.mode;
        h.ReachDownloading();
        h.ChangeTask(1, [&](FakeTask& task) { task.info.info.bytes_done = c.downloaded; });
        h.disk.SetFree(c.free);
        h.Run(2);
        EXPECT_EQ(h.Context().state, c.after);
        EXPECT_EQ(h.Context().low_space, c.low_space);
        EXPECT_EQ(h.events->Count("11990301"), c.low_space ? 1 : 0);
        EXPECT_EQ(h.events->Count("11020000"), 0);
        EXPECT_EQ(h.messages.Shown().size(), *c.message == '\0' ? 0u : 1u);
        if (*c.message != '\0') {
            EXPECT_EQ(h.messages.Shown().front().first, c.message);
            EXPECT_EQ(h.Snapshot().buttons.resume.enabled, false);
        }
    }

    // Not yet started: too little room keeps ready; with the watch on, ready and back follow
    // the free space.
    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    h.disk.SetFree(h.Context().RequiredBytes() - 1);
    h.Do(action::MainAction{});
    EXPECT_EQ(h.Context().state, DownloadState::kReady);
    EXPECT_TRUE(h.Context().low_space);
    EXPECT_EQ(h.messages.Count("当前磁盘空间不足，请选择其他位置存放"), 1);
    EXPECT_EQ(h.engine.Count("CreateAndStartTask"), 0);
    EXPECT_EQ(h.events->Count("11010000"), 0);
}

TEST(ControllerLimits, EveryTasksMirrorsAreReplacedByEachReading) {
    ControllerHarness h;
    h.ReachDownloading();
    ASSERT_EQ(h.fetches.size(), 2u) << "the expiry check, then the first downloading second";
    EXPECT_EQ(h.fetches[1].kind, FetchRequest::Kind::kMirrors);
    EXPECT_EQ(h.fetches[1].verify_index, -1);

    action::ResourceListDone done;
    done.fetched = true;
    done.reading.emplace();
    done.reading->p2p_on = true;
    done.reading->mirrors[0] = {{"http://10.0.0.1/d/setup.exe", "cdn.example"}};
    done.reading->mirrors[2] = {{"http://10.0.0.2/d/data.7z.002", "null"},
                                {"http://10.0.0.3/d/data.7z.002", "null"}};
    for (int round = 0; round < 2; ++round) {
        h.Do(done);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(h.Task(i)->clears, 2) << i;
    }
    EXPECT_EQ(h.Task(0)->mirrors, std::vector<std::string>{"http://10.0.0.1/d/setup.exe\n"});
    EXPECT_EQ(h.Task(1)->mirrors, std::vector<std::string>{});
    EXPECT_EQ(h.Task(2)->mirrors, std::vector<std::string>{"http://10.0.0.2/d/data.7z.002\n"
                                                           "http://10.0.0.3/d/data.7z.002\n"});
    EXPECT_EQ(h.engine.Count("AddMirrorSources data.7z.002 http://10.0.0.2/d/data.7z.002\n"
                             "http://10.0.0.3/d/data.7z.002\n|null\nnull\n"),
              2);
    EXPECT_TRUE(h.Context().p2p_enabled);
    EXPECT_TRUE(h.engine.Logged("启用P2P功能"));

    // A failed fetch and a text that is not a resource list change nothing.
    h.engine.ClearCalls();
    action::ResourceListDone failed;
    h.Do(failed);
    EXPECT_TRUE(h.engine.Logged("Seek res FAILED with XML content failed"));
    action::ResourceListDone unusable;
    unusable.fetched = true;
    h.Do(unusable);
    EXPECT_EQ(h.engine.Count("ClearMirrorSources"), 0);
    EXPECT_EQ(h.engine.Count("EnableP2P 0"), 0);

    // Every 600th downloading second; a refused request is asked for again the next second.
    h.fetches.clear();
    h.Run(599);
    EXPECT_EQ(h.fetches.size(), 0u);
    h.fetches_refused = true;
    h.Run(2);
    EXPECT_EQ(h.fetches.size(), 2u);
    h.fetches_refused = false;
    h.Run(1);
    EXPECT_EQ(h.fetches.size(), 3u);
    h.Run(1);
    EXPECT_EQ(h.fetches.size(), 3u);
    h.Do(action::MainAction{});  // paused: the count starts again
    h.Run(1);
    h.Do(action::MainAction{});
    h.SetTasks(10, 5000);
    h.Run(1);
    EXPECT_EQ(h.fetches.size(), 4u);
}

TEST(ControllerLimits, TheListIsFetchedWhileNothingArrivesSoThatADeadSourceGetsMirrors) {
    ControllerHarness h;
    ASSERT_EQ(h.Init(), 0);
    h.Do(action::MainAction{});
    h.SetTasks(0, 0);  // the default source is dead: 0 B/s, preparing for as long as it lasts
    h.Run(1);
    ASSERT_EQ(h.Context().state, DownloadState::kPreparing);
    ASSERT_EQ(h.fetches.size(), 2u) << "the expiry check, then the first preparing second";
    EXPECT_EQ(h.fetches[1].kind, FetchRequest::Kind::kMirrors);
}

TEST(ControllerLimits, AnExpiredDownloaderShowsTheNoticeAndEnds) {
    const struct {
        bool fetched;
        bool expired;
        const char* url;
        bool ends;
        bool opened;
    } cases[] = {{true, true, "https://maker.example/new", true, true},
                 {true, false, "https://maker.example/new", false, false},
                 {false, false, "", false, false}};
    for (const auto& c : cases) {
        ControllerHarness h;
        ASSERT_EQ(h.Init(), 0);
        action::ResourceListDone done;
        done.kind = FetchRequest::Kind::kExpiry;
        done.fetched = c.fetched;
        if (c.fetched) {
            done.reading.emplace();
            done.reading->expiry = {c.expired, "请下载新版本", c.url};
        }
        h.Do(done);
        EXPECT_EQ(h.Context().exit_requested, c.ends);
        EXPECT_EQ(h.messages.Count("请下载新版本"), c.ends ? 1 : 0);
        EXPECT_EQ(h.launcher.opened.size(), c.opened ? 1u : 0u);
        EXPECT_EQ(h.engine.Logged("get XML content failed"), !c.fetched);
        EXPECT_EQ(h.engine.Count("EnableP2P"), 0) << "the expiry check reads only the notice";
    }
}

TEST(ControllerLimits, TheFetchWorkerReadsTheListForTheFilesOfTheProduct) {
    ControllerHarness h;
    const ProductInfo& product = h.config.product;
    const std::string xml =
        "<project><configs><p2p-switch>on</p2p-switch></configs><resources>"
        "<resource id='1' task='" +
        product.files[0].source_url +
        "'>"
        "<cdn id='a' name='A' middle-dir='/d/' file-name='setup.exe' open='yes'>"
        "<ip>10.0.0.1</ip></cdn></resource>"
        "<resource id='2' task='" +
        product.files[1].source_url +
        "'>"
        "<cdn id='b' name='B' middle-dir='/d/' file-name='data.7z.001' host-name='cdn.example' "
        "open='1'><ip>10.0.0.2</ip></cdn></resource>"
        "</resources></project>";
    FetchRequest request;
    request.complete = {false, true, false};
    std::string error;
    std::optional<ResourceListReading> reading =
        ResourceFetchWorker::Read(product, xml, request, &error);
    ASSERT_TRUE(reading) << error;
    EXPECT_TRUE(reading->p2p_on);
    ASSERT_EQ(reading->mirrors[0].size(), 1u);
    EXPECT_EQ(reading->mirrors[0][0].url, "http://10.0.0.1/d/setup.exe");
    EXPECT_EQ(reading->mirrors[0][0].host, "null");
    EXPECT_TRUE(reading->mirrors[1].empty()) << "a complete file's resource is skipped";
    request.verify_index = 1;
    reading = ResourceFetchWorker::Read(product, xml, request, &error);
    ASSERT_TRUE(reading);
    ASSERT_EQ(reading->mirrors[1].size(), 1u) << "unless that file is being repaired";
    EXPECT_EQ(reading->mirrors[1][0].host, "cdn.example");
    EXPECT_FALSE(ResourceFetchWorker::Read(product, "<other/>", request, &error));
}

}  // namespace
}  // namespace kf::app::test
