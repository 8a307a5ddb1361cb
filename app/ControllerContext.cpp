#include "app/ControllerContext.h"

#include "app/DisplayFormat.h"

namespace kf::app {

ControllerContext::ControllerContext(ControllerConfig config_in, ControllerServices services_in)
    : config(std::move(config_in)),
      services(std::move(services_in)),
      ini(config.paths.config_file) {}

void ControllerContext::Log(const std::string& text, LogChannel channel) {
    services.engine.EngineLogWrite(text, ChannelNumber(channel));
}

void ControllerContext::Event(std::string_view code, const std::string& info) {
    SubmitEventTo(services.events, code, info);
}

void ControllerContext::EventWithStatistics(std::string_view code,
                                            const std::string& error_message) {
    Event(code, EventReport::Full(Statistics(), error_message));
}

void ControllerContext::Message(const std::string& text, const std::string& caption) {
    services.messages.Show(text, caption);
}

std::string ControllerContext::FilePath(int index) const {
    return save_folder + "/" + File(index).name;
}

std::vector<TaskHandle> ControllerContext::LiveHandles() const {
    std::vector<TaskHandle> handles;
    for (const FileSlot& slot : files) {
        if (slot.handle != nullptr) {
            handles.push_back(slot.handle);
        }
    }
    return handles;
}

std::vector<int> ControllerContext::ActiveFiles() const {
    std::vector<int> active;
    for (int i = 0; i < 3; ++i) {
        if (files[i].handle != nullptr && (!files[i].complete || repair_index == i)) {
            active.push_back(i);
        }
    }
    return active;
}

DownloadStatistics ControllerContext::Statistics() const {
    DownloadStatistics statistics;
    statistics.progress = DisplayFormat::Percentage(overall_progress);
    statistics.active_seconds = session_seconds;
    for (const FileSlot& slot : files) {
        statistics.http_bytes += slot.last.info.http_bytes;
        statistics.bt_bytes += slot.last.info.bt_bytes;
    }
    const int64_t total = statistics.http_bytes + statistics.bt_bytes;
    statistics.total_bytes = total < 0 ? 0 : total;
    const int64_t session = downloaded_total - previous_last_size;
    statistics.session_bytes = session < 0 ? 0 : session;
    if (session_seconds > 0) {
        statistics.total_speed = statistics.total_bytes / session_seconds;
        statistics.http_speed = statistics.http_bytes / session_seconds;
        statistics.bt_speed = statistics.bt_bytes / session_seconds;
    }
    return statistics;
}

}  // namespace kf::app
