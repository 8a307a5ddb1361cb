#include "support/NoticeRecorder.h"

namespace kf::test {

NoticeRecorder::NoticeRecorder() {
    SetEngineNoticeCallback(&NoticeRecorder::OnNotice, this);
}

NoticeRecorder::~NoticeRecorder() {
    SetEngineNoticeCallback(nullptr, nullptr);
}

std::vector<NoticeRecorder::Notice> NoticeRecorder::Taken() {
    std::lock_guard hold(mutex_);
    return notices_;
}

std::vector<NoticeRecorder::Notice> NoticeRecorder::OfKind(int32_t kind) {
    std::vector<Notice> found;
    for (Notice& notice : Taken()) {
        if (notice.kind == kind) {
            found.push_back(std::move(notice));
        }
    }
    return found;
}

void NoticeRecorder::OnNotice(void* context, const KfNotice* notice) {
    auto* recorder = static_cast<NoticeRecorder*>(context);
    std::lock_guard hold(recorder->mutex_);
    recorder->notices_.push_back(
        {notice->kind, notice->task, notice->address, notice->number, notice->text});
}

}  // namespace kf::test
