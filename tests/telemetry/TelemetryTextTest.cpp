// The texts of a post: form encoding, escaped members, the configuration's URL walk, the posting
// rules and the sink's reading of info texts.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <memory>

#include "engine/base/EventSink.h"
#include "telemetry/CollectorConfig.h"
#include "telemetry/EventText.h"
#include "telemetry/HttpPoster.h"
#include "telemetry/TelemetrySink.h"

namespace kf {
namespace {

Json::Value Parse(const std::string& text) {
    Json::Value value;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) << text;
    return value;
}

TEST(EventText, FormEncodingKeepsOnlyLettersAndDigits) {
    const struct {
        const char* text;
        const char* encoded;
    } cases[] = {{"Abc09", "Abc09"},  {"a b", "a_b"}, {"a,b", "a%2Cb"},  {"\"q\"", "%22q%22"},
                 {"下", "%E4%B8%8B"}, {"_", "%5F"},   {"\n%", "%0A%25"}, {"", ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(EventText::FormEncode(c.text), c.encoded) << c.text;
    }
}

TEST(EventText, InfoJoinsOwnMembersInKeyOrderWithTheFragment) {
    Json::Value own(Json::objectValue);
    own["OS"] = "900642";
    own["MachId"] = "下载";  // UTF-8 bytes, not \u escapes
    own["Mac"] = "a";
    const std::string info = EventText::Info(own, EventMember("Filename", "x"));
    EXPECT_EQ(info, "{\"Mac\":\"a\",\"MachId\":\"下载\",\"OS\":\"900642\"\n,\"Filename\":\"x\"}");
    EXPECT_EQ(EventText::Info(Json::Value(Json::objectValue), ""), "{\n}");
}

TEST(EventText, MembersEscapeWhatWouldBreakTheRecord) {
    for (const std::string value :
         {"plain 文件.7z", "a\"b", "back\\slash", "line\nbreak\t", "\",\"Injected\":\"1"}) {
        const Json::Value object = Parse("{" + EventMember("Filename", value).substr(1) + "}");
        EXPECT_EQ(object.size(), 1u) << value;
        EXPECT_EQ(object["Filename"].asString(), value);
    }
    // Ordinary texts come out byte for byte.
    EXPECT_EQ(EventMember("Url", "http://a/b c_文"), ",\"Url\":\"http://a/b c_文\"");
}

TEST(CollectorConfig, UrlListEndsAtTheFirstMissingOrEmptyKey) {
    const struct {
        const char* text;
        std::vector<std::string> urls;
    } cases[] = {
        {"[S]\nSubmitUrl=http://a\nSubmitUrl1=http://b\nSubmitUrl3=http://d\n",
         {"http://a", "http://b"}},
        {"[S]\nSubmitUrl=\nSubmitUrl1=http://b\n", {}},
        {"[s]\nsubmiturl = \"http://a\" \n", {"http://a"}},
        {"[Other]\nSubmitUrl=http://x\n[S]\n; SubmitUrl=http://c\n", {}},
        {"SubmitUrl=http://nosection\n[S\nSubmitUrl=http://broken\n", {}},
    };
    for (const auto& c : cases) {
        const auto config = CollectorConfig::Parse(c.text);
        ASSERT_TRUE(config) << c.text;
        EXPECT_EQ(config->Urls("S"), c.urls) << c.text;
    }
    const auto config =
        CollectorConfig::Parse("[S]\nInputDataKeyWord=DVersion; GameID;;GVersion\n");
    EXPECT_EQ(config->Keywords("S", "InputDataKeyWord"),
              (std::vector<std::string>{"DVersion", "GameID", "GVersion"}));
    EXPECT_FALSE(CollectorConfig::Parse(std::string(CollectorConfig::kMaxBytes + 1, 'a')));
}

TEST(HttpPoster, IdentifyingDataLeavesOnlyOverTlsOrToLoopback) {
    const struct {
        const char* url;
        bool allowed;
    } cases[] = {{"https://collector.example/submit", true},
                 {"HTTPS://collector.example", true},
                 {"http://127.0.0.1:8080/x", true},
                 {"http://127.1.2.3/x", true},
                 {"http://localhost:80/", true},
                 {"http://[::1]:80/", true},
                 {"http://collector.example:8080/launchersubmit", false},
                 {"http://127.0.0.1.example.com/", false},
                 {"http://user@127.0.0.1:1/", true},
                 {"http://127.0.0.1@evil.example/", false},
                 {"ftp://127.0.0.1/", false},
                 {"https://", false},
                 {"", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(HttpPoster::Allowed(c.url), c.allowed) << c.url;
    }
}

TEST(TelemetrySink, InfoTextsBecomeReports) {
    uint32_t flags = 9;
    DownloadReport report = TelemetrySink::ReportOf(
        EventMember("Filename", "a \"b\".7z") + EventMember("Corruptpakid", "17") +
            ",\"Totalbytes\":9000,\"Flags\":7,\"Unknown\":[1]",
        &flags);
    EXPECT_EQ(report.file_name, "a \"b\".7z");
    EXPECT_EQ(report.corrupt_piece, 17u);
    EXPECT_EQ(report.total_bytes, 9000u);
    EXPECT_EQ(flags, 7u);

    // Plain texts (the engine's name-resolution failures) and broken fragments are the message.
    for (const std::string text : {"ErrCode : (1) Host : (x) ", ",\"Filename\":", ""}) {
        report = TelemetrySink::ReportOf(text, &flags);
        EXPECT_EQ(report.error_message, text);
        EXPECT_EQ(flags, 0u);
    }
    const std::string deep =
        "," + std::string("\"a\":") + std::string(50, '[') + std::string(50, ']');
    EXPECT_EQ(TelemetrySink::ReportOf(deep, &flags).error_message, deep);
}

}  // namespace
}  // namespace kf
