#include "telemetry/DataUpload.h"

#include <vector>

#include "engine/base/EngineLog.h"
#include "engine/base/EventSink.h"

namespace kf {
namespace {

constexpr const char* kReportVersion = "1.8";

// The growth of a running total since the previous report, 0 when it did not grow; the
// remembered total follows every report that carries one.
template <class Number>
Number Delta(Number now, Number& previous) {
    const Number delta = now > previous ? now - previous : 0;
    if (now != 0) {
        previous = now;
    }
    return delta;
}

}  // namespace

DataUpload::DataUpload(std::shared_ptr<CDataStatistics> statistics, std::string config_path,
                       Identity identity)
    : statistics_(std::move(statistics)),
      identity_(std::move(identity)),
      configured_(!config_path.empty()) {
    statistics_->SetConfigFile(std::move(config_path));
}

DataUpload::~DataUpload() {
    StopThread();
}

bool DataUpload::Start() {
    return StartThread(kThreadName);
}

void DataUpload::Stop() {
    StopThread();
}

bool DataUpload::Ready() const {
    return configured_ && !identity_.game_id.empty() && !identity_.app_version.empty() &&
           !identity_.game_version.empty();
}

std::string DataUpload::Fragment(const DownloadReport& report) {
    uint32_t in_time = 0;
    uint64_t in_total = 0, in_http = 0, in_p2p = 0;
    {
        std::lock_guard hold(mutex_);
        in_time = Delta(report.total_time, previous_.total_time);
        in_total = Delta(report.total_bytes, previous_.total_bytes);
        in_http = Delta(report.http_bytes, previous_.http_bytes);
        in_p2p = Delta(report.p2p_bytes, previous_.p2p_bytes);
    }
    const auto number = [](uint64_t value) { return std::to_string(value); };
    return EventMember("DVersion", kReportVersion) + EventMember("GameID", identity_.game_id) +
           EventMember("AppVersion", identity_.app_version) +
           EventMember("GVersion", identity_.game_version) +
           EventMember("Dchannel", identity_.channel) + EventMember("Serverip", report.server_ip) +
           EventMember("Httpresult", report.http_result) +
           EventMember("Totaltime", number(report.total_time)) +
           EventMember("Intime", number(in_time)) +
           EventMember("Totalbytes", number(report.total_bytes)) +
           EventMember("Intotalbytes", number(in_total)) +
           EventMember("Averagespeed", number(report.average_speed)) +
           EventMember("Progress", report.progress) +
           EventMember("Httptotalbytes", number(report.http_bytes)) +
           EventMember("Inhttptotalbytes", number(in_http)) +
           EventMember("Httpaveragespeed", number(report.http_speed)) +
           EventMember("P2ptotalbytes", number(report.p2p_bytes)) +
           EventMember("Inp2ptotalbytes", number(in_p2p)) +
           EventMember("P2paveragespeed", number(report.p2p_speed)) +
           EventMember("Corruptpakid", number(report.corrupt_piece)) +
           EventMember("Filename", report.file_name) + EventMember("Url", report.url) +
           EventMember("Errormsg", report.error_message);
}

void DataUpload::Report(std::string_view code, const DownloadReport& report, uint32_t flags) {
    if (!IsRunning() || StopRequestedNow()) {
        return;
    }
    EngineLogWrite(code, LogChannel::kDataUpload);
    std::string fragment = Fragment(report);
    if (!Ready()) {
        return;
    }
    std::lock_guard hold(mutex_);
    if (queue_.size() >= kMaxQueue) {
        ++dropped_;
        return;
    }
    queue_.push_back(Record{std::string(code), std::move(fragment), flags});
}

std::string DataUpload::MachineIdText() {
    {
        std::lock_guard hold(mutex_);
        if (!machine_id_.empty()) {
            return machine_id_;
        }
    }
    std::string text = statistics_->MachineIdPair();
    std::lock_guard hold(mutex_);
    machine_id_ = std::move(text);
    return machine_id_;
}

size_t DataUpload::Queued() const {
    std::lock_guard hold(mutex_);
    return queue_.size();
}

uint64_t DataUpload::Dropped() const {
    std::lock_guard hold(mutex_);
    return dropped_;
}

bool DataUpload::Pass() {
    std::vector<Record> batch;
    {
        std::lock_guard hold(mutex_);
        while (!queue_.empty() && batch.size() < kMaxBatch) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
    }
    if (batch.empty()) {
        return false;
    }
    for (const Record& record : batch) {
        statistics_->AddData(record.code, record.fragment, record.flags);
    }
    statistics_->SubmitEventDownloadSeveral();
    return true;
}

void DataUpload::Run() {
    MachineIdText();
    try {
        while (SleepMilliseconds(kPassInterval.count())) {
            Pass();
        }
        const auto deadline = std::chrono::steady_clock::now() + kFlushTime;
        for (int i = 0; i < kFlushBatches && std::chrono::steady_clock::now() < deadline; ++i) {
            if (!Pass()) {
                break;
            }
        }
    } catch (...) {
        EngineLogWrite("A exception catched in dataupload", LogChannel::kDataUpload);
    }
    std::lock_guard hold(mutex_);
    if (dropped_ > 0 || !queue_.empty()) {
        EngineLogWrite("Reports not sent: " + std::to_string(dropped_) + " beyond the queue, " +
                           std::to_string(queue_.size()) + " left at stop",
                       LogChannel::kDataUpload);
    }
}

}  // namespace kf
