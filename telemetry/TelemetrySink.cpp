#include "telemetry/TelemetrySink.h"

#include <json/reader.h>

#include <exception>
#include <memory>

namespace kf {
namespace {

uint64_t NumberOf(const Json::Value& value) {
    if (value.isUInt64()) {
        return value.asUInt64();
    }
    if (value.isString()) {
        const std::string text = value.asString();
        if (!text.empty() && text.size() <= 19 &&
            text.find_first_not_of("0123456789") == std::string::npos) {
            return std::stoull(text);
        }
    }
    return 0;
}

std::string TextOf(const Json::Value& value) {
    return value.isString() ? value.asString() : std::string();
}

}  // namespace

DownloadReport TelemetrySink::ReportOf(std::string_view info, uint32_t* flags) {
    *flags = 0;
    DownloadReport report;
    info = info.substr(0, kMaxInfoBytes);
    if (info.empty() || info[0] != ',') {
        report.error_message = std::string(info);
        return report;
    }
    const std::string object = "{" + std::string(info.substr(1)) + "}";
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = kMaxDepth;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value members;
    bool parsed = false;
    try {
        parsed = reader->parse(object.data(), object.data() + object.size(), &members, nullptr);
    } catch (const std::exception&) {
        // The reader throws beyond its nesting limit: such a text is no fragment of ours.
    }
    if (!parsed || !members.isObject()) {
        report.error_message = std::string(info);
        return report;
    }
    report.server_ip = TextOf(members["Serverip"]);
    report.http_result = TextOf(members["Httpresult"]);
    report.total_time = static_cast<uint32_t>(NumberOf(members["Totaltime"]));
    report.total_bytes = NumberOf(members["Totalbytes"]);
    report.average_speed = NumberOf(members["Averagespeed"]);
    report.progress = TextOf(members["Progress"]);
    report.http_bytes = NumberOf(members["Httptotalbytes"]);
    report.http_speed = NumberOf(members["Httpaveragespeed"]);
    report.p2p_bytes = NumberOf(members["P2ptotalbytes"]);
    report.p2p_speed = NumberOf(members["P2paveragespeed"]);
    report.corrupt_piece = static_cast<uint32_t>(NumberOf(members["Corruptpakid"]));
    report.file_name = TextOf(members["Filename"]);
    report.url = TextOf(members["Url"]);
    report.error_message = TextOf(members["Errormsg"]);
    *flags = static_cast<uint32_t>(NumberOf(members["Flags"]));
    return report;
}

void TelemetrySink::Submit(std::string_view code, std::string_view info) {
    uint32_t flags = 0;
    const DownloadReport report = ReportOf(info, &flags);
    upload_->Report(code, report, flags);
}

void TelemetrySink::Shutdown() {
    upload_->Stop();
}

std::string TelemetrySink::MachineText() {
    return upload_->MachineIdText();
}

}  // namespace kf
