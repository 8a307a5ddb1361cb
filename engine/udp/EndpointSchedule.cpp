#include "engine/udp/EndpointSchedule.h"

#include <algorithm>

namespace kf {

EndpointSchedule::EndpointSchedule(int32_t keep_alive_seconds, uint64_t now_ms)
    : keep_alive_ms_(static_cast<uint64_t>(std::max(keep_alive_seconds, kMinKeepAliveSeconds)) *
                     1000u) {
    Restart(now_ms);
}

void EndpointSchedule::Restart(uint64_t now_ms) {
    last_retransmit_ms_ = now_ms;
    last_ack_ms_ = now_ms;
    last_housekeeping_ms_ = now_ms;
    last_keep_alive_ms_ = now_ms;
    last_registration_ms_ = now_ms;
    retry_ms_ = kFirstRetryMs;
    registration_due_ = true;
    acknowledged_ = false;
}

void EndpointSchedule::Acknowledge() {
    acknowledged_ = true;
    retry_ms_ = kFirstRetryMs;
}

uint64_t EndpointSchedule::Remaining(uint64_t now_ms, uint64_t last_ms, uint64_t period_ms) {
    const uint64_t passed = now_ms >= last_ms ? now_ms - last_ms : 0;
    return passed >= period_ms ? 0 : period_ms - passed;
}

EndpointSchedule::Due EndpointSchedule::Take(uint64_t now_ms, bool fast, bool registering) {
    Due due;
    if (!fast) {
        // Sessions that appear later get their first passes one period after they appear.
        last_retransmit_ms_ = now_ms;
        last_ack_ms_ = now_ms;
    } else if (Remaining(now_ms, last_retransmit_ms_, kRetransmitMs) == 0) {
        // The retransmission pass ends with an acknowledgement pass of its own.
        due.retransmit = true;
        last_retransmit_ms_ = now_ms;
        last_ack_ms_ = now_ms;
    } else if (Remaining(now_ms, last_ack_ms_, kAckMs) == 0) {
        due.ack = true;
        last_ack_ms_ = now_ms;
    }
    if (Remaining(now_ms, last_housekeeping_ms_, kHousekeepingMs) == 0) {
        due.housekeeping = true;
        last_housekeeping_ms_ = now_ms;
    }
    if (!registering) {
        return due;
    }
    if (!registration_due_ && Remaining(now_ms, last_keep_alive_ms_, keep_alive_ms_) == 0) {
        due.keep_alive = true;
        last_keep_alive_ms_ = now_ms;
    }
    const bool retry = !acknowledged_ && Remaining(now_ms, last_registration_ms_, retry_ms_) == 0;
    if (registration_due_ || retry ||
        Remaining(now_ms, last_registration_ms_, kRegistrationMs) == 0) {
        if (retry) {
            retry_ms_ = std::min(retry_ms_ * 2, keep_alive_ms_);
        }
        due.registration = true;
        registration_due_ = false;
        acknowledged_ = false;
        last_registration_ms_ = now_ms;
        last_keep_alive_ms_ = now_ms;
    }
    return due;
}

uint64_t EndpointSchedule::WaitMs(uint64_t now_ms, bool fast, bool registering) const {
    uint64_t wait = Remaining(now_ms, last_housekeeping_ms_, kHousekeepingMs);
    if (fast) {
        wait = std::min({wait, Remaining(now_ms, last_ack_ms_, kAckMs),
                         Remaining(now_ms, last_retransmit_ms_, kRetransmitMs)});
    }
    if (registering) {
        wait = registration_due_
                   ? 0
                   : std::min({wait, Remaining(now_ms, last_keep_alive_ms_, keep_alive_ms_),
                               Remaining(now_ms, last_registration_ms_,
                                         acknowledged_ ? kRegistrationMs : retry_ms_)});
    }
    return wait;
}

}  // namespace kf
