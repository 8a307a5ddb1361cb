#include "support/NoticeRecorder.h"

namespace kf::test {

NoticeRecorder::NoticeRecorder() {
    SetEngineNoticeCallback(&NoticeRecorder::Take, this);
}

NoticeRecorder::~NoticeRecorder() {
    // Waits for a call in progress, so nothing arrives once this returns.
    SetEngineNoticeCallback(nullptr, nullptr);
}

void NoticeRecorder::Take(void* context, const KfNotice* notice) {
    auto* self = static_cast<NoticeRecorder*>(context);
    std::lock_guard<std::mutex> hold(self->mutex_);
    self->notices_.push_back(*notice);
}

std::vector<KfNotice> NoticeRecorder::All() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return notices_;
}

std::vector<KfNotice> NoticeRecorder::OfKind(int32_t kind) const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<KfNotice> found;
    for (const KfNotice& notice : notices_) {
        if (notice.kind == kind) {
            found.push_back(notice);
        }
    }
    return found;
}

std::string NoticeRecorder::Text() const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::string text;
    for (const KfNotice& notice : notices_) {
        text += std::to_string(notice.kind) + " " + notice.address + " " +
                std::to_string(notice.number) + " " + notice.text + "\n";
    }
    return text;
}

}  // namespace kf::test
