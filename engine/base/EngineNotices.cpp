#include "engine/base/EngineNotices.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace kf {
namespace {

struct NoticeTarget {
    std::mutex mutex;
    KfNoticeCallback callback = nullptr;
    void* context = nullptr;
    std::atomic<bool> wanted{false};
};

NoticeTarget& Target() {
    static NoticeTarget target;
    return target;
}

template <size_t N>
void CopyText(char (&field)[N], std::string_view text) {
    const size_t length = std::min(text.size(), N - 1);
    if (length > 0) {  // an empty view may hold no pointer at all, which memcpy must not see
        std::memcpy(field, text.data(), length);
    }
    field[length] = '\0';
}

}  // namespace

void SetNoticeCallback(KfNoticeCallback callback, void* context) {
    NoticeTarget& target = Target();
    std::lock_guard hold(target.mutex);
    target.callback = callback;
    target.context = context;
    target.wanted.store(callback != nullptr, std::memory_order_relaxed);
}

bool NoticesWanted() {
    return Target().wanted.load(std::memory_order_relaxed);
}

void PostNotice(NoticeKind kind, const void* task, std::string_view address, int64_t number,
                std::string_view text) {
    if (!NoticesWanted()) {
        return;
    }
    KfNotice notice{};
    notice.kind = static_cast<int32_t>(kind);
    notice.task = const_cast<void*>(task);
    notice.number = number;
    CopyText(notice.address, address);
    CopyText(notice.text, text);
    NoticeTarget& target = Target();
    std::lock_guard hold(target.mutex);
    if (target.callback != nullptr) {
        target.callback(target.context, &notice);
    }
}

}  // namespace kf
