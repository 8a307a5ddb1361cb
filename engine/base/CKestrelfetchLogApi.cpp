#include "engine/base/CKestrelfetchLogApi.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "engine/base/LogChannel.h"
#include "engine/os/DebugOutput.h"

namespace kf {
namespace {

// Formats the local time with `format` into a small buffer.
std::string LocalTimeText(const char* format) {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[64];
    const size_t length = strftime(text, sizeof(text), format, &local);
    return std::string(text, length);
}

// "[time] [text]" + `ending`, with the text cut so that the line fits the line buffer and keeps
// its ending (a cut line that lost its line break would run into the next one).
std::string FormatLine(const std::string& time_text, std::string_view text,
                       std::string_view ending) {
    std::string line = "[" + time_text + "] [";
    const size_t room = CKestrelfetchLogApi::kLineMax - 1 - line.size() - 1 - ending.size();
    line.append(text.substr(0, room));
    line.append("]");
    line.append(ending);
    return line;
}

}  // namespace

CKestrelfetchLogApi::CKestrelfetchLogApi() {
    SetThresholds(38, 2);
}

void CKestrelfetchLogApi::SetThresholds(int32_t file_threshold, int32_t debug_threshold) {
    std::lock_guard<std::mutex> hold(section_);
    file_threshold_ = file_threshold;
    debug_threshold_ = debug_threshold;
}

void CKestrelfetchLogApi::SetPathPrefix(const char* prefix) {
    static constexpr const char* kSuffixes[kFileCount] = {
        ".log",           ".req.log",        ".dump.log",
        ".checktask.log", ".peerprefer.log", ".dataupload.log",
        ".httptrace.log", ".checkpeer.log",  ".written.log",
        ".sha1check.log", ".peerinfo.log"};
    std::lock_guard<std::mutex> hold(section_);
    const std::string base = prefix != nullptr ? prefix : "";
    for (int i = 0; i < kFileCount; ++i) {
        std::string path = base + kSuffixes[i];
        // The original fixed buffers cut an overlong path; a cut path is still a valid file name.
        if (path.size() > kPathMax - 1) {
            path.resize(kPathMax - 1);
        }
        paths_[i] = std::move(path);
    }
}

CKestrelfetchLogApi::FileIndex CKestrelfetchLogApi::FileIndexForChannel(int32_t channel) {
    switch (static_cast<LogChannel>(channel)) {
        case LogChannel::kRequest:
            return kRequest;
        case LogChannel::kCheckPeer:
            return kCheckPeer;
        case LogChannel::kPeerPreference:
            return kPeerPreference;
        case LogChannel::kHttpTrace:
            return kHttpTrace;
        case LogChannel::kDataUpload:
            return kDataUpload;
        case LogChannel::kWritten:
            return kWritten;
        case LogChannel::kSha1Check:
            return kSha1Check;
        case LogChannel::kPeerInfo:
            return kPeerInfo;
        case LogChannel::kCheckTask:
            return kCheckTask;
        case LogChannel::kDump:
            return kDump;
        default:
            return kMain;
    }
}

bool CKestrelfetchLogApi::Passes(int32_t file_threshold, int32_t debug_threshold, int32_t channel,
                                 int32_t level) {
    if (file_threshold == kOff && debug_threshold == kOff) {
        return false;
    }
    return level >= debug_threshold || channel >= file_threshold;
}

bool CKestrelfetchLogApi::Wants(int32_t channel, int32_t level) const {
    return Passes(file_threshold_.load(std::memory_order_relaxed),
                  debug_threshold_.load(std::memory_order_relaxed), channel, level);
}

std::string CKestrelfetchLogApi::FileForChannel(int32_t channel) const {
    std::lock_guard<std::mutex> hold(section_);
    return paths_[FileIndexForChannel(channel)];
}

void CKestrelfetchLogApi::Write(const char* text, int32_t channel, int32_t level) {
    std::lock_guard<std::mutex> hold(section_);
    if (!Wants(channel, level)) {
        return;
    }
    const std::string line = FormatLine(LocalTimeText("%X"), text != nullptr ? text : "", "\n");
    if (level >= debug_threshold_.load()) {
        WriteDebugOutput(line);
    }
    if (channel >= file_threshold_.load() && debug_threshold_.load() != kOff) {
        const std::string& path = paths_[FileIndexForChannel(channel)];
        if (path.empty()) {
            return;  // no prefix yet: file writes fail silently
        }
        if (FILE* file = fopen(path.c_str(), "a+")) {
            fprintf(file, "%s", line.c_str());
            fclose(file);
        }
    }
}

void CKestrelfetchLogApi::DebugPrintf(const char* format, ...) {
    std::lock_guard<std::mutex> hold(section_);
    char message[kLineMax];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    WriteDebugOutput(FormatLine(LocalTimeText("%Y-%m-%d %X"), message, "\r\n"));
}

}  // namespace kf
