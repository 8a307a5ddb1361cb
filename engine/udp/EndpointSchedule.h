#pragma once

#include <cstdint>

namespace kf {

// The UDP endpoint's timed passes, on a millisecond clock the caller supplies (the monotonic tick
// in the endpoint, a fake one in tests): the tunnel's retransmission (40 ms) and acknowledgement
// (20 ms) passes while tunnelled sessions need them, session housekeeping (3 s), the rendezvous
// registration (300 s; an unanswered one is repeated after 1 s, 2 s, 4 s ... up to the keep-alive
// period, so that a server that was not up yet is reached at once) and the keep-alive.
//
// Owner and threads: the endpoint, under its lock. Pure state; nothing blocks.
class EndpointSchedule {
  public:
    static constexpr uint64_t kRetransmitMs = 40;
    static constexpr uint64_t kAckMs = 20;
    static constexpr uint64_t kHousekeepingMs = 3000;
    static constexpr uint64_t kRegistrationMs = 300000;
    static constexpr int32_t kMinKeepAliveSeconds = 10;
    static constexpr uint64_t kFirstRetryMs = 1000;

    struct Due {
        bool retransmit = false;
        bool ack = false;
        bool housekeeping = false;
        bool registration = false;
        bool keep_alive = false;
    };

    // `keep_alive_seconds` below 10 counts as 10.
    EndpointSchedule(int32_t keep_alive_seconds, uint64_t now_ms);

    // Starts every period afresh at `now_ms` with a registration due at once (start, resume after
    // suspension, a new rendezvous server).
    void Restart(uint64_t now_ms);
    // Answers the passes due at `now_ms` and counts them as done. `fast`: tunnelled sessions need
    // the millisecond passes; `registering`: a rendezvous server is known. A registration restarts
    // the keep-alive period and waits for its answer; without one it is repeated after the retry
    // time, which doubles each time up to the keep-alive period.
    Due Take(uint64_t now_ms, bool fast, bool registering);
    // The server answered the last registration.
    void Acknowledge();
    bool Acknowledged() const { return acknowledged_; }
    // Milliseconds from `now_ms` until Take would answer something (0: due now).
    uint64_t WaitMs(uint64_t now_ms, bool fast, bool registering) const;

  private:
    static uint64_t Remaining(uint64_t now_ms, uint64_t last_ms, uint64_t period_ms);

    uint64_t keep_alive_ms_;
    uint64_t last_retransmit_ms_ = 0;
    uint64_t last_ack_ms_ = 0;
    uint64_t last_housekeeping_ms_ = 0;
    uint64_t last_keep_alive_ms_ = 0;
    uint64_t last_registration_ms_ = 0;
    uint64_t retry_ms_ = kFirstRetryMs;
    bool registration_due_ = true;
    bool acknowledged_ = false;
};

}  // namespace kf
