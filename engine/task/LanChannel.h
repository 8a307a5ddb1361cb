#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/net/QMulticastSocket.h"
#include "engine/task/LanAnnouncements.h"
#include "engine/task/LanDatagram.h"

namespace kf {

// LAN discovery's side of the engine: the multicast socket of group 233.65.31.78 port 31576 and
// the announcement list, and the discovery step that every task runs for itself.
//
// Owner and threads: the swarm registry, under the task table's mutex (every call); no lock of
// its own. Nothing blocks.
//
// Limits: a step reads at most kReadsPerStep datagrams, hands out at most kPeersPerStep peers
// (the rest wait in the list for the next step) and sends at most one reply, so that a flood of
// datagrams neither holds the engine-wide lock long nor floods the network in return.
// Network errors close the socket; the next listening-services step opens it again.
class LanChannel {
  public:
    static constexpr int32_t kReadsPerStep = 64;
    static constexpr size_t kPeersPerStep = 8;

    // Opens the socket when `wanted` and it is closed (or open on another interface than
    // `interface_ip`, 0 being the system's choice); closes it when not `wanted`.
    void Keep(bool wanted, uint32_t interface_ip);
    void Close() { socket_.Close(); }
    bool IsOpen() const { return socket_.IsOpen(); }

    // One task's step (`self`, with its `peer_id`): the first one sends its query to the group
    // twice and sets `query_sent`; the later ones read what arrived. Then the task looks at the
    // list (`task_count`: how many tasks take part). Answers the peers found for its info-hash;
    // when one of them asked, a reply goes out. A receive error clears `query_sent`.
    std::vector<LanDatagram> Step(const LanSelf& self, const LanDatagram::Hash20& peer_id,
                                  bool& query_sent, int64_t now, size_t task_count);
    void ClearAnnouncements() { announcements_.Clear(); }

  private:
    bool Send(const LanSelf& self, const LanDatagram::Hash20& peer_id, bool reply);
    void ReadWaiting(const LanSelf& self, bool& query_sent, int64_t now,
                     std::vector<LanDatagram>& found);

    QMulticastSocket socket_;
    LanAnnouncements announcements_;
    // The interface whose failure was logged already, so that retries every 400 ms stay quiet.
    uint32_t failed_interface_ = 0;
    bool failure_logged_ = false;
};

}  // namespace kf
