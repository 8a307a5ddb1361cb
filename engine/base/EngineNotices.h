#pragma once

#include <cstdint>
#include <string_view>

#include "engine/kestrelfetch.h"

namespace kf {

// What a notice tells (KF_NOTICE_... of the call interface).
enum class NoticeKind : int32_t {
    kTrackerAnswer = KF_NOTICE_TRACKER_ANSWER,
    kTrackerFailed = KF_NOTICE_TRACKER_FAILED,
    kConnected = KF_NOTICE_CONNECTED,
    kDropped = KF_NOTICE_DROPPED,
    kPenalised = KF_NOTICE_PENALISED,
    kBanned = KF_NOTICE_BANNED,
    kPieceFailed = KF_NOTICE_PIECE_FAILED,
    kProxyRefused = KF_NOTICE_PROXY_REFUSED,
    kDiskWait = KF_NOTICE_DISK_WAIT,
    kBlocked = KF_NOTICE_BLOCKED,
};

// The engine's notices: notable events of its tasks for a program that tells its user what
// happens. One callback serves the process. Posting takes a leaf lock for the length of the
// callback, so callbacks never overlap and replacing the callback waits for one in progress.
// Any thread may post; nothing is formatted unless NoticesWanted() says someone listens.

void SetNoticeCallback(KfNoticeCallback callback, void* context);
// Lock-free: whether a callback is installed.
bool NoticesWanted();
// Texts longer than the record's fields are cut. `task` is the task's handle, or null.
void PostNotice(NoticeKind kind, const void* task, std::string_view address, int64_t number,
                std::string_view text);

}  // namespace kf
