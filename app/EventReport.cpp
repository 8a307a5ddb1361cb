#include "app/EventReport.h"

#include <json/json.h>

namespace kf::app {
namespace {

// The download report's member names: the telemetry sink fills its report from them.
constexpr const char* kMessage = "Errormsg";
constexpr const char* kFileName = "Filename";
constexpr const char* kErrorMessage = "Errormsg";
constexpr const char* kFlags = "Flags";
constexpr const char* kProgress = "Progress";
constexpr const char* kActiveSeconds = "Totaltime";
constexpr const char* kHttpBytes = "Httptotalbytes";
constexpr const char* kBtBytes = "P2ptotalbytes";
constexpr const char* kTotalBytes = "Totalbytes";
constexpr const char* kSessionBytes = "SessionBytes";
constexpr const char* kTotalSpeed = "Averagespeed";
constexpr const char* kHttpSpeed = "Httpaveragespeed";
constexpr const char* kBtSpeed = "P2paveragespeed";

// The members of `object` without the enclosing braces, each preceded by a comma.
std::string Members(const Json::Value& object) {
    if (object.empty()) {
        return {};
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    const std::string text = Json::writeString(builder, object);
    // "{...}" → ",..."
    return "," + text.substr(1, text.size() - 2);
}

}  // namespace

std::string EventReport::Plain(const std::string& message, uint32_t flags) {
    Json::Value object(Json::objectValue);
    if (!message.empty()) {
        object[kMessage] = message;
    }
    if (flags != 0) {
        object[kFlags] = flags;
    }
    return Members(object);
}

std::string EventReport::File(const std::string& file_name, const std::string& message) {
    Json::Value object(Json::objectValue);
    object[kFileName] = file_name;
    if (!message.empty()) {
        object[kMessage] = message;
    }
    return Members(object);
}

std::string EventReport::Full(const DownloadStatistics& statistics,
                              const std::string& error_message) {
    Json::Value object(Json::objectValue);
    object[kProgress] = statistics.progress;
    object[kActiveSeconds] = Json::Int64(statistics.active_seconds);
    object[kHttpBytes] = Json::Int64(statistics.http_bytes);
    object[kBtBytes] = Json::Int64(statistics.bt_bytes);
    object[kTotalBytes] = Json::Int64(statistics.total_bytes);
    object[kSessionBytes] = Json::Int64(statistics.session_bytes);
    object[kTotalSpeed] = Json::Int64(statistics.total_speed);
    object[kHttpSpeed] = Json::Int64(statistics.http_speed);
    object[kBtSpeed] = Json::Int64(statistics.bt_speed);
    if (!error_message.empty()) {
        object[kErrorMessage] = error_message;
    }
    return Members(object);
}

}  // namespace kf::app
