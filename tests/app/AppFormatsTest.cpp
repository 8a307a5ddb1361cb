#include <gtest/gtest.h>
#include <json/json.h>

#include <clocale>
#include <string>

#include "app/DisplayFormat.h"
#include "app/EventReport.h"

namespace {

using kf::app::DisplayFormat;
using kf::app::DownloadStatistics;
using kf::app::EventReport;

void ExpectWindowFormats() {
    const struct {
        int64_t bytes;
        const char* text;
    } sizes[] = {{0, ""},
                 {1, "1 B"},
                 {1023, "1023 B"},
                 {1024, "1.0 KB"},
                 {1048575, "1024.0 KB"},
                 {1048576, "1.0 MB"},
                 {1073741824, "1.0 GB"},
                 {2171527756, "2.0 GB"},
                 {int64_t{1} << 40, "1.0 TB"}};
    for (const auto& c : sizes) {
        EXPECT_EQ(DisplayFormat::Size(c.bytes), c.text) << c.bytes;
    }
    const struct {
        uint32_t speed;
        const char* text;
    } speeds[] = {{0, "0 B/s"},
                  {1023, "1023 B/s"},
                  {1024, "1.0 KB/s"},
                  {115000, "112.3 KB/s"},
                  {1048576, "1.0 MB/s"},
                  {1073741824, "1.0 GB/s"},
                  {0xCCCCCCCBu, "3.2 GB/s"},
                  {0xCCCCCCCCu, "未知"},
                  {0xFFFFFFFFu, "未知"}};
    for (const auto& c : speeds) {
        EXPECT_EQ(DisplayFormat::Speed(c.speed), c.text) << c.speed;
    }
    const struct {
        int32_t hundredths;
        const char* percentage;
        const char* decimal;
        const char* row;
    } percents[] = {{0, "0%", "0.00%", "0.00%"},
                    {7, "0.07%", "0.07%", "0.07%"},
                    {5000, "50%", "50.00%", "50.00%"},
                    {5025, "50.25%", "50.25%", "50.25%"},
                    {10000, "100%", "100.00%", "100.00%"}};
    for (const auto& c : percents) {
        EXPECT_EQ(DisplayFormat::Percentage(c.hundredths), c.percentage);
        EXPECT_EQ(DisplayFormat::Decimal(c.hundredths), c.decimal);
        EXPECT_EQ(DisplayFormat::RowPercent(c.hundredths), c.row);
    }
}

TEST(AppFormats, SizesSpeedsAndPercentagesAsTheWindowShowsThemInEveryLocale) {
    // The window's toolkit adopts the user's locale; a decimal comma must not reach the texts.
    for (const char* name : {"C", "de_DE.UTF-8"}) {
        if (std::setlocale(LC_ALL, name) == nullptr) {
            ADD_FAILURE() << "locale " << name << " missing (scripts/install-deps)";
            continue;
        }
        SCOPED_TRACE(name);
        ExpectWindowFormats();
    }
    std::setlocale(LC_ALL, "C");
}

TEST(AppFormats, EventTextsAreMembersThatJoinTheTelemetryObject) {
    const auto parse = [](const std::string& fragment) {
        EXPECT_EQ(fragment.front(), ',');
        Json::Value object;
        std::string errors;
        const std::string text = "{\"MachId\":1" + fragment + "}";
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &object, &errors))
            << text;
        return object;
    };
    EXPECT_EQ(EventReport::Plain({}), "");
    EXPECT_EQ(parse(EventReport::Plain("点击时已经验证过安装包分卷了"))["Errormsg"].asString(),
              "点击时已经验证过安装包分卷了");
    const Json::Value file = parse(EventReport::File("setup.exe", "修复次数：1"));
    EXPECT_EQ(file["Filename"].asString(), "setup.exe");
    EXPECT_EQ(file["Errormsg"].asString(), "修复次数：1");
    EXPECT_EQ(parse(EventReport::Plain({}, EventReport::kHardwareLists))["Flags"].asUInt(), 7u);

    DownloadStatistics statistics;
    statistics.progress = "50.25%";
    statistics.active_seconds = 300;
    statistics.http_bytes = 3000;
    statistics.bt_bytes = 6000;
    statistics.total_bytes = 9000;
    statistics.total_speed = 30;
    const Json::Value full = parse(EventReport::Full(statistics, "Unknow Exit, maybe crashed"));
    EXPECT_EQ(full["Progress"].asString(), "50.25%");
    EXPECT_EQ(full["Totaltime"].asInt64(), 300);
    EXPECT_EQ(full["Totalbytes"].asInt64(), 9000);
    EXPECT_EQ(full["Averagespeed"].asInt64(), 30);
    EXPECT_EQ(full["Errormsg"].asString(), "Unknow Exit, maybe crashed");
    EXPECT_EQ(full["MachId"].asInt(), 1);
}

}  // namespace
