// The report uploader against the collection-service stub on 127.0.0.1.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "engine/api/AsyncMessage.h"
#include "engine/base/EventSink.h"
#include "engine/kestrelfetch.h"
#include "support/CollectorStub.h"
#include "support/TempDir.h"
#include "telemetry/DataUpload.h"

namespace kf {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::CollectorStub;

Json::Value Parse(const std::string& text) {
    Json::Value value;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) << text;
    return value;
}

// A configuration whose batch section lists `urls` in order.
std::string WriteConfig(const test::TempDir& dir, const std::vector<std::string>& urls) {
    std::string text =
        "[SubmitEventDownload]\nInputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
        "[SubmitEventDownloadSeveral]\nSubmitDataKeyWord=MachId;Mac;OS\n";
    for (size_t i = 0; i < urls.size(); ++i) {
        text += "SubmitUrl" + (i == 0 ? std::string() : std::to_string(i)) + "=" + urls[i] + "\n";
    }
    EXPECT_TRUE(test::WriteFile(dir / "dataupload.kfconf", text));
    return dir / "dataupload.kfconf";
}

std::shared_ptr<DataUpload> StartUpload(const std::string& config,
                                        const std::string& game_version = "v122.42.51") {
    MachineSources sources;
    sources.proc = sources.sys = std::string(KF_TEST_DATA_DIR) + "/telemetry/vm";
    sources.proc += "/proc";
    sources.sys += "/sys";
    sources.machine = "x86_64";
    sources.codeset = "UTF-8";
    auto machine = std::make_shared<MachineInfo>(sources);
    auto statistics = std::make_shared<CDataStatistics>(machine, "/nonexistent");
    auto upload = std::make_shared<DataUpload>(
        statistics, config, DataUpload::Identity{"772", "0.1.0", game_version, "1"});
    EXPECT_TRUE(upload->Start());
    return upload;
}

DownloadReport Figures(uint64_t total_bytes, uint32_t total_time = 10) {
    DownloadReport report;
    report.total_bytes = total_bytes;
    report.total_time = total_time;
    return report;
}

std::vector<Json::Value> Records(const std::vector<Json::Value>& posts) {
    std::vector<Json::Value> records;
    for (const Json::Value& post : posts) {
        EXPECT_TRUE(post["errors"].empty()) << post["errors"];
        for (const Json::Value& record : post["records"]) {
            records.push_back(record);
        }
    }
    return records;
}

TEST(DataUpload, AReportArrivesWithinTwoSecondsWithItsKeysInOrderAndItsDeltas) {
    CollectorStub stub;
    ASSERT_NE(stub.Port(), 0);
    test::TempDir dir;
    const auto upload = StartUpload(WriteConfig(dir, {stub.Url("/eventListSubmit")}));
    const auto start = Clock::now();
    upload->Report("11020000", Figures(1000), 0);
    upload->Report("11050000", Figures(1500), 7);
    upload->Report("11050000", Figures(1200, 0), 0);
    const std::vector<Json::Value> posts = stub.WaitForPosts(1, milliseconds(2000));
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
    EXPECT_EQ(posts[0]["path"], "/eventListSubmit");
    const std::vector<Json::Value> records = Records(posts);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]["code"], "11020000");
    std::vector<std::string> keys;
    for (const Json::Value& key : records[0]["keys"]) {
        keys.push_back(key.asString());
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Mac",
                                              "MachId",
                                              "OS",
                                              "Sequence",
                                              "Sessionid",
                                              "DVersion",
                                              "GameID",
                                              "AppVersion",
                                              "GVersion",
                                              "Dchannel",
                                              "Serverip",
                                              "Httpresult",
                                              "Totaltime",
                                              "Intime",
                                              "Totalbytes",
                                              "Intotalbytes",
                                              "Averagespeed",
                                              "Progress",
                                              "Httptotalbytes",
                                              "Inhttptotalbytes",
                                              "Httpaveragespeed",
                                              "P2ptotalbytes",
                                              "Inp2ptotalbytes",
                                              "P2paveragespeed",
                                              "Corruptpakid",
                                              "Filename",
                                              "Url",
                                              "Errormsg"}));
    // Own members in ascending key order, then the fragment's; the lists asked for by flags 7
    // come first.
    EXPECT_EQ(records[1]["keys"][0], "CPU");
    const char* deltas[] = {"1000", "500", "0"};
    for (size_t i = 0; i < 3; ++i) {
        const Json::Value info = Parse(records[i]["info"].asString());
        EXPECT_EQ(info["Intotalbytes"].asString(), deltas[i]) << i;
        EXPECT_EQ(info["Sequence"].asInt64(), static_cast<int64_t>(i));
        EXPECT_EQ(info["DVersion"], "1.8");
        EXPECT_EQ(info["OS"], "900642");
    }
    EXPECT_EQ(Parse(records[2]["info"].asString())["Intime"], "0");
    upload->Stop();

    // Not ready (no game version): nothing is ever queued.
    const auto unready = StartUpload(dir / "dataupload.kfconf", "");
    unready->Report("11020000", Figures(1), 0);
    EXPECT_EQ(unready->Queued(), 0u);
}

TEST(DataUpload, TwentyFiveReportsGoOutInTwoPostsWithNoneLost) {
    CollectorStub stub;
    ASSERT_NE(stub.Port(), 0);
    test::TempDir dir;
    const auto upload = StartUpload(WriteConfig(dir, {stub.Url()}));
    for (int i = 0; i < 25; ++i) {
        upload->Report(std::to_string(11000000 + i), Figures(i), 0);
    }
    const std::vector<Json::Value> posts = stub.WaitForPosts(2, milliseconds(5000));
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0]["records"].size(), 20u);
    EXPECT_EQ(posts[1]["records"].size(), 5u);
    std::set<std::string> codes;
    for (const Json::Value& record : Records(posts)) {
        codes.insert(record["code"].asString());
    }
    EXPECT_EQ(codes.size(), 25u);
}

TEST(DataUpload, AFailingUrlPassesTheSameBodyOnAndAllFailingDropsTheBatch) {
    CollectorStub failing({.fail_first = 100});
    CollectorStub working;
    CollectorStub closing({.close = true});
    ASSERT_TRUE(failing.Port() != 0 && working.Port() != 0 && closing.Port() != 0);
    test::TempDir dir;
    {
        const auto upload =
            StartUpload(WriteConfig(dir, {closing.Url(), failing.Url(), working.Url()}));
        upload->Report("11020000", Figures(5), 0);
        const auto posts = working.WaitForPosts(1, milliseconds(5000));
        ASSERT_EQ(posts.size(), 1u);
        ASSERT_EQ(failing.Posts().size(), 1u);
        EXPECT_EQ(posts[0]["body"], failing.Posts()[0]["body"]);
        EXPECT_EQ(posts[0]["body"], closing.Posts()[0]["body"]);
    }
    const auto upload = StartUpload(WriteConfig(dir, {failing.Url(), closing.Url()}));
    upload->Report("11020000", Figures(5), 0);
    ASSERT_EQ(closing.WaitForPosts(2, milliseconds(5000)).size(), 2u);
    // Two more passes: the lost batch is not sent again.
    EXPECT_EQ(failing.WaitForPosts(3, milliseconds(2500)).size(), 2u);
}

TEST(DataUpload, ASlowCollectorNeitherHoldsReportersNorTheUploaderPastItsTimeOut) {
    CollectorStub slow({.delay_seconds = 10});
    ASSERT_NE(slow.Port(), 0);
    test::TempDir dir;
    const auto upload = StartUpload(WriteConfig(dir, {slow.Url()}));
    upload->Report("11020000", Figures(1), 0);
    ASSERT_EQ(slow.WaitForPosts(1, milliseconds(3000)).size(), 1u);
    // The post is under way (10 s): a report is only appended, even on a loaded machine.
    const auto reported = Clock::now();
    upload->Report("11050000", Figures(2), 0);
    EXPECT_LT(Clock::now() - reported, milliseconds(500));
    // Beyond the cap reports are counted, not queued.
    for (size_t i = 0; i < DataUpload::kMaxQueue + 100; ++i) {
        upload->Report("11050000", Figures(3), 0);
    }
    EXPECT_EQ(upload->Queued(), DataUpload::kMaxQueue);
    EXPECT_EQ(upload->Dropped(), 101u);
    // The post gives up at 6 s; the next pass follows within a second, long before 10 s.
    ASSERT_EQ(slow.WaitForPosts(2, milliseconds(9000)).size(), 2u);
    const auto elapsed = Clock::now() - reported;
    EXPECT_GT(elapsed, milliseconds(4500));
    EXPECT_LT(elapsed, milliseconds(8500));
    // Stop flushes only what fits in its bound.
    const auto stopping = Clock::now();
    upload->Stop();
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(14));
}

TEST(DataUpload, TextsWithChineseSpacesUnderscoresQuotesAndNewlinesArriveUnchanged) {
    CollectorStub stub;
    ASSERT_NE(stub.Port(), 0);
    test::TempDir dir;
    const auto upload = StartUpload(WriteConfig(dir, {stub.Url()}));
    DownloadReport report;
    report.file_name = "游戏 客户端_第1卷 \"测试\".7z";
    report.error_message = "第一行\n第二行\\ \t,&=%";
    report.url = "http://镜像.example/a b?c=\"d\"";
    report.progress = "50.25%";
    upload->Report("11080000", report, 0);
    const auto records = Records(stub.WaitForPosts(1, milliseconds(3000)));
    ASSERT_EQ(records.size(), 1u);
    const Json::Value info = Parse(records[0]["info"].asString());
    EXPECT_EQ(info["Filename"].asString(), report.file_name);
    EXPECT_EQ(info["Errormsg"].asString(), report.error_message);
    EXPECT_EQ(info["Url"].asString(), report.url);
    EXPECT_EQ(info["Progress"].asString(), report.progress);
}

TEST(TelemetryCalls, EngineEventsReportsMessagesAndTheLogReleaseGoThroughTheUploader) {
    CollectorStub stub;
    ASSERT_NE(stub.Port(), 0);
    test::TempDir dir;
    const std::string config = WriteConfig(dir, {stub.Url()});
    ReportEvent("11990000", "before the uploader", 0);  // dropped
    ASSERT_EQ(CollectDataUpload(config.c_str(), "772", "0.1.0", "v122.42.51", "1"), KF_OK);
    EXPECT_EQ(CollectDataUpload(config.c_str(), "772", "0.1.0", "v122.42.51", "1"),
              KF_ERR_DUPLICATE);

    std::mutex shown_mutex;
    std::string shown;
    AsyncMessage::SetPresenter([&](void*, const std::string& text, const std::string&, uint32_t) {
        std::lock_guard hold(shown_mutex);
        shown = text;
    });
    ASSERT_EQ(ShowMessageAsync(nullptr, "下载启动失败", "x", 0), 1);
    AsyncMessage::JoinAll();
    AsyncMessage::SetPresenter(nullptr);
    {
        std::lock_guard hold(shown_mutex);
        // Line break, full-width parentheses around "0x%8s, 0x%8s".
        ASSERT_EQ(shown.size(), std::string("下载启动失败\n（0x12345678, 0x12345678）").size());
        EXPECT_TRUE(shown.starts_with("下载启动失败\n（0x")) << shown;
        EXPECT_TRUE(shown.ends_with("）")) << shown;
    }

    // An engine event (a whole piece from a peer failed its check) through the sink.
    SubmitEvent("11500102", EventMember("Serverip", "10.0.0.7 : 6881") +
                                EventMember("Corruptpakid", "42") +
                                EventMember("Filename", "d.7z"));
    ReportFileEvent("11080000", "data.7z.001", "");
    ReportDownload("11020000", "", "", 300, 0x00000001, 0x1, 0, 0, "50%", 0, 0, 0, 0, 0, 0, 0, 0, 0,
                   "", "", "", 0);
    // The log release flushes what is queued, then nothing more is taken.
    ReleaseEngineLog();
    ReportEvent("11990000", "after the release", 0);
    const auto records = Records(stub.Posts());
    ASSERT_EQ(records.size(), 3u);
    const Json::Value piece = Parse(records[0]["info"].asString());
    EXPECT_EQ(records[0]["code"], "11500102");
    EXPECT_EQ(piece["Serverip"], "10.0.0.7 : 6881");
    EXPECT_EQ(piece["Corruptpakid"], "42");
    EXPECT_EQ(Parse(records[1]["info"].asString())["Filename"], "data.7z.001");
    EXPECT_EQ(Parse(records[2]["info"].asString())["Totalbytes"], "4294967297");
    EXPECT_EQ(InstalledEventSink(), nullptr);
}

}  // namespace
}  // namespace kf
