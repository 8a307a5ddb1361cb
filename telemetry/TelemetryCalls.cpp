// The telemetry engine calls of engine/kestrelfetch.h: one report uploader per process, reached by
// the calls here and, for every other event of the engine and the application, through the
// process-wide event sink that CollectDataUpload installs.
#include <memory>
#include <mutex>
#include <string>

#include "engine/base/EventSink.h"
#include "engine/kestrelfetch.h"
#include "telemetry/CDataStatistics.h"
#include "telemetry/DataUpload.h"
#include "telemetry/MachineInfo.h"
#include "telemetry/TelemetrySink.h"

namespace kf {
namespace {

struct UploaderStorage {
    std::mutex mutex;
    std::shared_ptr<DataUpload> upload;
};

UploaderStorage& Storage() {
    static UploaderStorage storage;
    return storage;
}

std::shared_ptr<DataUpload> Uploader() {
    std::lock_guard hold(Storage().mutex);
    return Storage().upload;
}

std::string Text(const char* text) {
    return text != nullptr ? text : "";
}

uint64_t Join(uint32_t low, uint32_t high) {
    return (uint64_t{high} << 32) | low;
}

}  // namespace
}  // namespace kf

using kf::DataUpload;
using kf::DownloadReport;

int32_t CollectDataUpload(const char* config_path, const char* game_id, const char* app_version,
                          const char* game_version, const char* channel) {
    try {
        std::lock_guard hold(kf::Storage().mutex);
        if (kf::Storage().upload && kf::Storage().upload->IsRunning()) {
            return KF_ERR_DUPLICATE;
        }
        kf::MachineSources sources = kf::MachineSources::Live();
        const std::string program_folder = sources.keys_folder;
        auto machine = std::make_shared<kf::MachineInfo>(std::move(sources));
        auto statistics = std::make_shared<kf::CDataStatistics>(std::move(machine), program_folder);
        auto upload = std::make_shared<DataUpload>(
            std::move(statistics), kf::Text(config_path),
            DataUpload::Identity{kf::Text(game_id), kf::Text(app_version), kf::Text(game_version),
                                 kf::Text(channel)});
        if (!upload->Start()) {
            return KF_ERR_INTERNAL;
        }
        kf::Storage().upload = upload;
        kf::InstallEventSink(std::make_shared<kf::TelemetrySink>(std::move(upload)));
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

void ReportDownload(const char* code, const char* server_ip, const char* http_result,
                    uint32_t total_time, uint32_t total_bytes_low, uint32_t total_bytes_high,
                    uint32_t average_speed_low, uint32_t average_speed_high, const char* progress,
                    uint32_t http_bytes_low, uint32_t http_bytes_high, uint32_t http_speed_low,
                    uint32_t http_speed_high, uint32_t p2p_bytes_low, uint32_t p2p_bytes_high,
                    uint32_t p2p_speed_low, uint32_t p2p_speed_high, uint32_t corrupt_piece,
                    const char* file_name, const char* url, const char* error_message,
                    uint32_t flags) {
    try {
        const std::shared_ptr<DataUpload> upload = kf::Uploader();
        if (!upload || code == nullptr) {
            return;
        }
        DownloadReport report;
        report.server_ip = kf::Text(server_ip);
        report.http_result = kf::Text(http_result);
        report.total_time = total_time;
        report.total_bytes = kf::Join(total_bytes_low, total_bytes_high);
        report.average_speed = kf::Join(average_speed_low, average_speed_high);
        report.progress = kf::Text(progress);
        report.http_bytes = kf::Join(http_bytes_low, http_bytes_high);
        report.http_speed = kf::Join(http_speed_low, http_speed_high);
        report.p2p_bytes = kf::Join(p2p_bytes_low, p2p_bytes_high);
        report.p2p_speed = kf::Join(p2p_speed_low, p2p_speed_high);
        report.corrupt_piece = corrupt_piece;
        report.file_name = kf::Text(file_name);
        report.url = kf::Text(url);
        report.error_message = kf::Text(error_message);
        upload->Report(code, report, flags);
    } catch (...) {
        // A report never fails its caller.
    }
}

void ReportEvent(const char* code, const char* message, uint32_t flags) {
    ReportDownload(code, "", "", 0, 0, 0, 0, 0, "", 0, 0, 0, 0, 0, 0, 0, 0, 0, "", "", message,
                   flags);
}

void ReportFileEvent(const char* code, const char* file_name, const char* message) {
    ReportDownload(code, "", "", 0, 0, 0, 0, 0, "", 0, 0, 0, 0, 0, 0, 0, 0, 0, file_name, "",
                   message, 0);
}
