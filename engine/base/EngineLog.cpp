#include "engine/base/EngineLog.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "engine/base/CKestrelfetchLogApi.h"
#include "engine/os/DebugOutput.h"

namespace kf {
namespace {

// Writers take the pointer's lock shared; creation and release take it exclusively, so a release
// never frees the log under a writer. The thresholds are mirrored in atomics (off while no log
// exists) so that EngineLogWants takes no lock.
struct LogStorage {
    std::shared_mutex mutex;
    std::unique_ptr<CKestrelfetchLogApi> log;
    std::atomic<int32_t> file_threshold{CKestrelfetchLogApi::kOff};
    std::atomic<int32_t> debug_threshold{CKestrelfetchLogApi::kOff};

    void Mirror(int32_t file, int32_t debug) {
        file_threshold.store(file, std::memory_order_relaxed);
        debug_threshold.store(debug, std::memory_order_relaxed);
    }
};

LogStorage& Storage() {
    static LogStorage storage;
    return storage;
}

}  // namespace

void TouchLogStorage() {
    Storage();
    WriteDebugOutput({});
}

void CreateGlobalLog() {
    LogStorage& storage = Storage();
    std::unique_lock<std::shared_mutex> hold(storage.mutex);
    if (!storage.log) {
        storage.log = std::make_unique<CKestrelfetchLogApi>();
        storage.Mirror(38, 2);
    }
}

void ReleaseGlobalLog() {
    LogStorage& storage = Storage();
    std::unique_lock<std::shared_mutex> hold(storage.mutex);
    storage.log.reset();
    storage.Mirror(CKestrelfetchLogApi::kOff, CKestrelfetchLogApi::kOff);
}

void GlobalLogSetThresholds(int32_t file_threshold, int32_t debug_threshold) {
    LogStorage& storage = Storage();
    // Exclusive, so that the mirror never disagrees with the log for long.
    std::unique_lock<std::shared_mutex> hold(storage.mutex);
    if (storage.log) {
        storage.log->SetThresholds(file_threshold, debug_threshold);
        storage.Mirror(file_threshold, debug_threshold);
    }
}

void GlobalLogSetPathPrefix(const char* prefix) {
    LogStorage& storage = Storage();
    std::shared_lock<std::shared_mutex> hold(storage.mutex);
    if (storage.log) {
        storage.log->SetPathPrefix(prefix);
    }
}

void GlobalLogWrite(const char* text, int32_t channel, int32_t level) {
    LogStorage& storage = Storage();
    std::shared_lock<std::shared_mutex> hold(storage.mutex);
    if (storage.log) {
        storage.log->Write(text, channel, level);
    }
}

bool EngineLogWants(LogChannel channel) {
    const LogStorage& storage = Storage();
    const int32_t number = ChannelNumber(channel);
    return CKestrelfetchLogApi::Passes(storage.file_threshold.load(std::memory_order_relaxed),
                                       storage.debug_threshold.load(std::memory_order_relaxed),
                                       number, number);
}

void EngineLogWrite(std::string_view text, LogChannel channel) {
    if (EngineLogWants(channel)) {
        GlobalLogWrite(std::string(text).c_str(), ChannelNumber(channel), ChannelNumber(channel));
    }
}

}  // namespace kf
