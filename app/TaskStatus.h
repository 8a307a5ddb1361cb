#pragma once

#include <cstdint>

#include "engine/kestrelfetch.h"

namespace kf::app {

// A task status after which the task's thread has ended: nothing comes of waiting for it.
inline bool IsFatalStatus(int32_t status) {
    switch (status) {
        case KF_STATUS_NO_METADATA:
        case KF_STATUS_DISK_FULL:
        case KF_STATUS_TORRENT_UNREADABLE:
        case KF_STATUS_NO_SOURCE:
        case KF_STATUS_WRITE_FAILED:
        case KF_STATUS_IN_USE:
            return true;
        default:
            return false;
    }
}

}  // namespace kf::app
