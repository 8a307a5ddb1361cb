#include "app/EventReport.h"

#include <json/json.h>

namespace kf::app {
namespace {

// The member names, until the telemetry layer fixes its record.
constexpr const char* kMessage = "Message";
constexpr const char* kFileName = "FileName";
constexpr const char* kErrorMessage = "Errormsg";
constexpr const char* kProgress = "Progress";
constexpr const char* kActiveSeconds = "DownloadSeconds";
constexpr const char* kHttpBytes = "HttpBytes";
constexpr const char* kBtBytes = "BtBytes";
constexpr const char* kTotalBytes = "TotalBytes";
constexpr const char* kSessionBytes = "SessionBytes";
constexpr const char* kTotalSpeed = "TotalSpeed";
constexpr const char* kHttpSpeed = "HttpSpeed";
constexpr const char* kBtSpeed = "BtSpeed";

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

std::string EventReport::Plain(const std::string& message) {
    Json::Value object(Json::objectValue);
    if (!message.empty()) {
        object[kMessage] = message;
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
