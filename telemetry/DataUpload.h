#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/base/QThread.h"
#include "telemetry/CDataStatistics.h"
#include "telemetry/DownloadReport.h"

namespace kf {

// The download report uploader: Report formats a report's fragment (DVersion "1.8", the four
// identity texts, the caller's figures with the deltas Intime, Intotalbytes, Inhttptotalbytes
// and Inp2ptotalbytes against the previous report) and queues it; the thread "CollectDataUpload"
// wakes every kPassInterval and hands at most kMaxBatch queued reports to the telemetry
// component as one batch post, leaving the rest for the next pass.
//
// Owner: the process-wide holder of the telemetry calls. Threads: Report and MachineIdText from
// any thread; the queue lock is held only to append or to take a batch out, never through a
// post, so a report returns at once even while a post waits for a slow collector.
// Limits: the queue holds kMaxQueue reports; beyond that reports are dropped and counted.
// Lifetime: Start once; Stop (the engine's log release) ends the thread after one bounded flush:
// at most kFlushBatches batches, none started after kFlushTime. Reports made before Start or
// after Stop are dropped, as are all reports when the uploader is not ready (no configuration
// file, or an empty game id, application version or game version).
class DataUpload final : public QThread {
  public:
    static constexpr const char* kThreadName = "CollectDataUpload";
    static constexpr std::chrono::milliseconds kPassInterval{1000};
    static constexpr size_t kMaxBatch = CDataStatistics::kMaxBatch;
    static constexpr size_t kMaxQueue = 1000;
    static constexpr int kFlushBatches = 3;
    static constexpr std::chrono::seconds kFlushTime{6};

    struct Identity {
        std::string game_id;
        std::string app_version;
        std::string game_version;
        std::string channel;
    };

    DataUpload(std::shared_ptr<CDataStatistics> statistics, std::string config_path,
               Identity identity);
    ~DataUpload() override;

    // Starts the thread; false when it could not be started.
    bool Start();
    void Stop();
    void Report(std::string_view code, const DownloadReport& report, uint32_t flags);
    // The machine id as "0x%8s, 0x%8s", read once; empty when unknown.
    std::string MachineIdText();

    size_t Queued() const;
    uint64_t Dropped() const;

  protected:
    void Run() override;

  private:
    struct Record {
        std::string code;
        std::string fragment;
        uint32_t flags = 0;
    };
    struct Previous {
        uint32_t total_time = 0;
        uint64_t total_bytes = 0;
        uint64_t http_bytes = 0;
        uint64_t p2p_bytes = 0;
    };

    bool Ready() const;
    std::string Fragment(const DownloadReport& report);
    // Posts one batch taken from the head of the queue; false when the queue was empty.
    bool Pass();

    const std::shared_ptr<CDataStatistics> statistics_;
    const Identity identity_;
    const bool configured_;
    mutable std::mutex mutex_;  // guards the members below
    std::deque<Record> queue_;
    uint64_t dropped_ = 0;
    Previous previous_;
    std::string machine_id_;
};

}  // namespace kf
