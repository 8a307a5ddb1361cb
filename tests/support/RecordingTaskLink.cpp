#include "support/RecordingTaskLink.h"

namespace kf::test {

void RecordingTaskLink::PieceNotice(int32_t type, int32_t value, int32_t kind, int64_t number,
                                    std::span<const uint8_t> bytes) {
    notices.push_back({type, value, kind, number, std::string(bytes.begin(), bytes.end())});
    if (on_notice) {
        on_notice(*this, notices.back());
    }
}

std::vector<RecordingTaskLink::Notice> RecordingTaskLink::Of(int32_t type) const {
    std::vector<Notice> out;
    for (const Notice& n : notices) {
        if (n.type == type) {
            out.push_back(n);
        }
    }
    return out;
}

std::string RecordingTaskLink::LastBytes(int32_t type) const {
    for (auto it = notices.rbegin(); it != notices.rend(); ++it) {
        if (it->type == type && !it->bytes.empty()) {
            return it->bytes;
        }
    }
    return {};
}

}  // namespace kf::test
