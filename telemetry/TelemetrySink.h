#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/base/EventSink.h"
#include "telemetry/DataUpload.h"
#include "telemetry/DownloadReport.h"

namespace kf {

// The process-wide event sink while the report uploader runs: every event of the engine and the
// application becomes one download report of its uploader.
//
// An info text that starts with a comma is a members fragment ("…","Filename":"a.bin",…) whose
// members named like the report's fields (Serverip, Httpresult, Totaltime, Totalbytes,
// Averagespeed, Progress, Httptotalbytes, Httpaveragespeed, P2ptotalbytes, P2paveragespeed,
// Corruptpakid, Filename, Url, Errormsg) fill them, numbers given as JSON numbers or decimal
// texts, and whose member Flags is the record's flag value (which lists to add); other members
// are ignored. Any other info text is the report's error message.
//
// Parse: bytes in, report out; at most kMaxInfoBytes of info are read (a longer text becomes an
// error message cut there) and nesting beyond kMaxDepth is refused. Threads: any.
class TelemetrySink final : public EventSink {
  public:
    static constexpr size_t kMaxInfoBytes = 64 * 1024;
    static constexpr int kMaxDepth = 8;

    explicit TelemetrySink(std::shared_ptr<DataUpload> upload) : upload_(std::move(upload)) {}

    void Submit(std::string_view code, std::string_view info) override;
    void Shutdown() override;
    std::string MachineText() override;

    static DownloadReport ReportOf(std::string_view info, uint32_t* flags);

  private:
    std::shared_ptr<DataUpload> upload_;
};

}  // namespace kf
