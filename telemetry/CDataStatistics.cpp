#include "telemetry/CDataStatistics.h"

#include <cstdio>
#include <optional>
#include <random>

#include "telemetry/CollectorConfig.h"
#include "telemetry/EventText.h"
#include "telemetry/HttpPoster.h"

namespace kf {
namespace {

constexpr const char* kDownloadSection = "SubmitEventDownload";
constexpr const char* kBatchSection = "SubmitEventDownloadSeveral";
constexpr const char* kInstSection = "SubmitEventInst";
constexpr const char* kUpdtSection = "SubmitEventUpdt";
constexpr const char* kDeviceSection = "SubmitDeviceInfo";
constexpr const char* kInputKeys = "InputDataKeyWord";
constexpr const char* kSubmitKeys = "SubmitDataKeyWord";

bool HoldsAll(std::string_view text, const std::vector<std::string>& words) {
    for (const std::string& word : words) {
        if (text.find(word) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

std::string FreshSessionId() {
    std::random_device random;
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(random()));
    return text;
}

template <class Body>
int32_t Guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        return CDataStatistics::kException;
    }
}

}  // namespace

CDataStatistics::CDataStatistics(std::shared_ptr<MachineInfo> machine, std::string program_folder)
    : machine_(std::move(machine)),
      program_folder_(std::move(program_folder)),
      session_id_(FreshSessionId()) {}

void CDataStatistics::SetConfigFile(std::string path) {
    std::lock_guard hold(mutex_);
    config_path_ = std::move(path);
}

void CDataStatistics::SetSessionId(std::string session_id) {
    std::lock_guard hold(mutex_);
    session_id_ = std::move(session_id);
}

std::string CDataStatistics::SessionId() const {
    std::lock_guard hold(mutex_);
    return session_id_;
}

std::string CDataStatistics::ConfigPath() const {
    std::lock_guard hold(mutex_);
    return config_path_.empty() ? program_folder_ + "/" + kDefaultConfigName : config_path_;
}

std::string CDataStatistics::InfoText(std::string_view kind, std::string_view fragment,
                                      uint32_t flags, const int64_t* sequence) {
    Json::Value own(Json::objectValue);
    machine_->CollectMachineId(own);
    own["Mac"] = machine_->MacText();
    own["OS"] = machine_->OsCode();
    own["Sessionid"] = SessionId();
    if (sequence != nullptr) {
        own["Sequence"] = Json::Int64(*sequence);
    }
    if ((kind == kUpdtSection || kind == kInstSection) && !machine_->HasKeysFile()) {
        own["Extra_Err_Msg"] = MachineInfo::kMissingKeysText;
    }
    machine_->CollectFlagged(own, flags);
    return EventText::Info(own, fragment);
}

int32_t CDataStatistics::SubmitEvent(std::string_view kind, std::string_view code,
                                     std::string_view fragment, uint32_t flags) {
    return Guarded([&] {
        if (kind == kInstSection && code == "0") {
            return SubmitDeviceReport(fragment);
        }
        const std::optional<CollectorConfig> config = CollectorConfig::Load(ConfigPath());
        if (!config) {
            return kNothingSent;
        }
        if (!HoldsAll(fragment, config->Keywords(kind, kInputKeys))) {
            return kInputKeywordMissing;
        }
        const std::string info = InfoText(kind, fragment, flags, nullptr);
        if (!HoldsAll(info, config->Keywords(kind, kSubmitKeys))) {
            return kSubmitKeywordMissing;
        }
        const std::string body =
            "code=" + std::string(code) + "&info=" + EventText::FormEncode(info);
        return HttpPoster::PostToFirstAccepting(config->Urls(kind), body) ? kDone : kNothingSent;
    });
}

int32_t CDataStatistics::SubmitDeviceReport(std::string_view fragment) {
    const std::optional<CollectorConfig> config = CollectorConfig::Load(ConfigPath());
    if (!config) {
        return kNothingSent;
    }
    if (!HoldsAll(fragment, config->Keywords(kDeviceSection, kInputKeys))) {
        return kDeviceKeywordMissing;
    }
    const std::string info = EventText::Info(machine_->DeviceReport(), fragment);
    const std::string body = "info=" + EventText::FormEncode(info);
    return HttpPoster::PostToFirstAccepting(config->Urls(kDeviceSection), body) ? kDone
                                                                                : kNothingSent;
}

int32_t CDataStatistics::AddData(std::string_view code, std::string_view fragment, uint32_t flags) {
    return Guarded([&] {
        {
            std::lock_guard hold(mutex_);
            if (batch_count_ >= kMaxBatch) {
                return kBatchFull;
            }
        }
        const std::optional<CollectorConfig> config = CollectorConfig::Load(ConfigPath());
        if (!config) {
            return kNoConfigFile;
        }
        if (!HoldsAll(fragment, config->Keywords(kDownloadSection, kInputKeys))) {
            return kInputKeywordMissing;
        }
        std::lock_guard hold(mutex_);
        if (batch_count_ >= kMaxBatch) {
            return kBatchFull;
        }
        ++batch_count_;
        batch_.push_back(Record{std::string(code), std::string(fragment), flags});
        return kDone;
    });
}

int32_t CDataStatistics::SubmitEventDownloadSeveral() {
    return Guarded([&] {
        std::vector<Record> records;
        {
            // Taken out whole: the batch is gone whatever the post's outcome, and callers that
            // add records meanwhile never wait for the post.
            std::lock_guard hold(mutex_);
            records.swap(batch_);
            batch_count_ = 0;
        }
        return records.empty() ? kNothingSent : PostBatch(records);
    });
}

int32_t CDataStatistics::PostBatch(const std::vector<Record>& records) {
    const std::optional<CollectorConfig> config = CollectorConfig::Load(ConfigPath());
    if (!config) {
        return kNothingSent;
    }
    const std::vector<std::string> submit_keys = config->Keywords(kBatchSection, kSubmitKeys);
    Json::Value array(Json::arrayValue);
    for (const Record& record : records) {
        int64_t sequence = 0;
        {
            std::lock_guard hold(mutex_);
            sequence = sequence_++;
        }
        Json::Value element(Json::objectValue);
        element["code"] = record.code;
        element["info"] = InfoText(kBatchSection, record.fragment, record.flags, &sequence);
        if (!HoldsAll(element["info"].asString(), submit_keys)) {
            return kBatchTextFailed;
        }
        array.append(element);
    }
    const std::string body = "data=" + EventText::FormEncode(EventText::Array(array));
    return HttpPoster::PostToFirstAccepting(config->Urls(kBatchSection), body) ? kDone
                                                                               : kNothingSent;
}

std::string CDataStatistics::MachineIdPair() const {
    const std::string id = machine_->MachineIdText();
    if (id.size() < 16) {
        return {};
    }
    return "0x" + id.substr(0, 8) + ", 0x" + id.substr(8, 8);
}

}  // namespace kf
