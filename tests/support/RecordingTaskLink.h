#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engine/content/TaskLink.h"

namespace kf::test {

// A TaskLink that records what the content layer tells its task. `on_notice` may react (for
// instance request a stop on notice 1002, as the real task does).
class RecordingTaskLink : public TaskLink {
  public:
    struct Notice {
        int32_t type;
        int32_t value;
        int32_t kind;
        int64_t number;
        std::string bytes;
    };

    void SetTaskState(kf::TaskState state) override { states.push_back(state); }
    void SetTaskStatus(int32_t code) override { status = code; }
    void RequestStop() override { stop_requested = true; }
    bool IsStopRequested() override { return stop_requested; }
    void PieceNotice(int32_t type, int32_t value, int32_t kind, int64_t number,
                     std::span<const uint8_t> bytes) override;

    // Notices of one type, in order.
    std::vector<Notice> Of(int32_t type) const;
    int Count(int32_t type) const { return static_cast<int>(Of(type).size()); }
    // Bytes of the last non-empty notice of `type` (the last resume record, selection list).
    std::string LastBytes(int32_t type) const;

    std::vector<Notice> notices;
    std::vector<kf::TaskState> states;
    int32_t status = 0;
    bool stop_requested = false;
    std::function<void(RecordingTaskLink&, const Notice&)> on_notice;
};

}  // namespace kf::test
