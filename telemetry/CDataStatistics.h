#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "telemetry/MachineInfo.h"

namespace kf {

// The telemetry component: builds the info text of each record (machine id, MAC text, OS code,
// session id, sequence number, the lists the record's flags ask for, then the caller's fragment),
// checks the configured keywords, form-encodes the body and posts it (HttpPoster) to the URLs of
// the record kind's section of the configuration file.
//
//   single   SubmitEvent: "code=" + code + "&info=" + FormEncode(info); section = the kind
//            (SubmitEventDownload, SubmitEventInst, SubmitEventUpdt); SubmitEventInst with code
//            "0" sends the device description ("info=" + ...) to SubmitDeviceInfo instead
//   batch    AddData queues up to kMaxBatch records; SubmitEventDownloadSeveral posts them as
//            "data=" + FormEncode([{code, info}, ...] + "\n") to SubmitEventDownloadSeveral and
//            empties the batch whatever the outcome
//
// Results (int32_t): kNothingSent, kDone and the refusals below; nothing throws out of a public
// operation (kException). Threads: AddData and SubmitEventDownloadSeveral may run on different
// threads (the batch is swapped out under the lock and posted outside it); single submissions
// may run beside them. A post takes at most 6 s per URL.
class CDataStatistics {
  public:
    static constexpr int32_t kNothingSent = 0;
    static constexpr int32_t kDone = 1;
    static constexpr int32_t kDeviceKeywordMissing = 10;
    static constexpr int32_t kInputKeywordMissing = 11;
    static constexpr int32_t kSubmitKeywordMissing = 13;
    static constexpr int32_t kException = 16;
    static constexpr int32_t kBatchFull = 18;
    static constexpr int32_t kNoConfigFile = 20;
    static constexpr int32_t kBatchTextFailed = 21;
    static constexpr size_t kMaxBatch = 20;
    static constexpr const char* kDefaultConfigName = "Serverlist.ini";

    // `program_folder` holds the default configuration file.
    CDataStatistics(std::shared_ptr<MachineInfo> machine, std::string program_folder);

    // Empty: kDefaultConfigName in the program folder.
    void SetConfigFile(std::string path);
    void SetSessionId(std::string session_id);
    std::string SessionId() const;

    int32_t SubmitEvent(std::string_view kind, std::string_view code, std::string_view fragment,
                        uint32_t flags);
    int32_t AddData(std::string_view code, std::string_view fragment, uint32_t flags);
    int32_t SubmitEventDownloadSeveral();
    // "0x" + the first 8 hex digits of the machine id + ", 0x" + the next 8; empty when the id
    // is not 16 digits long.
    std::string MachineIdPair() const;

  private:
    struct Record {
        std::string code;
        std::string fragment;
        uint32_t flags = 0;
    };

    std::string ConfigPath() const;
    // The info text of one record; `sequence` only for batch records.
    std::string InfoText(std::string_view kind, std::string_view fragment, uint32_t flags,
                         const int64_t* sequence);
    int32_t SubmitDeviceReport(std::string_view fragment);
    int32_t PostBatch(const std::vector<Record>& records);

    std::shared_ptr<MachineInfo> machine_;
    const std::string program_folder_;
    mutable std::mutex mutex_;  // guards every member below
    std::string config_path_;
    std::string session_id_;
    int64_t sequence_ = 0;
    std::vector<Record> batch_;
    size_t batch_count_ = 0;
};

}  // namespace kf
