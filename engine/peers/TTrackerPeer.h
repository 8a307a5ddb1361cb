#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/net/QUdpSocket.h"
#include "engine/peers/TPeerObject.h"
#include "engine/peers/TrackerAnswer.h"
#include "engine/peers/TrackerRequest.h"

namespace kf {

// Announces the task to one tracker (a Tracker record) and hands the BitTorrent peers of the
// answer to the task (TaskSwarm::AddSource). "http"/"tcp" trackers get an HTTP GET over TCP
// (through the engine-wide proxy settings; by name when the record leaves its host to the proxy),
// "udp" trackers the UDP tracker protocol on a socket of this object's own. One attach is one
// announce: connect (or send the UDP connect request), send the announce and re-send it every
// kResendSeconds until the answer arrives, take the answer (status kStatusFinished), after which
// PlanRequests answers false and the task releases the object. Outgoing TCP and UDP bind to the
// task's LocalBindAddress when it names one.
//
// Once an announce has left, the record is marked `announced`, so that the task can tell the
// tracker when it stops. Each announce but a stopped one ends in one notice of the task:
// KF_NOTICE_TRACKER_ANSWER (address: the announce URL, number: the peers in the answer) or
// KF_NOTICE_TRACKER_FAILED (text: the tracker's failure reason, "refused", "time-out", "unreadable
// answer", ...). An announce unanswered kAnswerSeconds after the attach has timed out (status
// kStatusTimedOut).
//
// Every attach starts a new announce: the query is built from the record now attached and the
// task's current figures, so a recycled object never sends another record's path or stale numbers.
// HTTP re-sends repeat the announce's request unchanged; UDP re-sends carry the current figures
// under the same transaction id, so that a late answer to an earlier copy still counts.
//
// Owner and thread: as every peer object (TPeerObject), on the task's thread.
//
// Trust: the tracker is untrusted. The HTTP answer is capped at TrackerAnswer::kMaxHttpAnswer and
// its peers at TrackerAnswer::kMaxPeers; UDP datagrams count only when they come from the
// tracker's address and port and echo the random transaction id of our last request. The
// tracker's failure reason reaches the notice with its control bytes replaced.
class TTrackerPeer : public TPeerObject {
  public:
    static constexpr int32_t kResendSeconds = 11;
    static constexpr int32_t kAnswerSeconds = 60;
    static constexpr int32_t kMaxDatagramsPerTurn = 8;

    // Seconds a stopped announce may spend in the proxy handshake (its SOCKS steps block).
    static constexpr int32_t kStoppedProxySeconds = 1;

    explicit TTrackerPeer(const TaskFaces& task);
    ~TTrackerPeer() override;

    // The event of the announces from the next attach on: TrackerRequest::kEventStarted (the
    // default), kEventCompleted, or kEventStopped. A stopped announce is fire-and-forget: it is
    // finished (kStatusFinished) once its request has left (the UDP announce sent, the HTTP
    // request written to the connection), tells the task nothing and takes no peers; its bounds
    // are its caller's, but for the proxy handshake (kStoppedProxySeconds).
    void SetEvent(int32_t event) { event_ = event; }

    bool Receive() override;
    bool Flush() override;
    bool PlanRequests() override;
    void Reset() override;
    bool Attach(const RefPtr<TPeerId>& source) override;
    // State or status set, and the transport's socket open.
    bool IsConnected() const override;

    // The UDP conversation's socket (open only for a UDP tracker), for the task's readiness wait.
    const QUdpSocket& UdpSocket() const { return udp_socket_; }
    // The HTTP announce path and query of the current announce; empty before it is first sent.
    const std::string& Query() const { return query_; }
    int32_t Event() const { return event_; }
    bool UsesUdp() const;

  private:
    bool AttachTcp(TPeerId& record);
    bool AttachUdp(TPeerId& record);
    bool SendAnnounce();
    bool ReceiveTcp();
    bool ReceiveUdp();
    void HandleDatagram(std::span<const uint8_t> datagram);
    TrackerRequest::Figures CurrentFigures(bool udp);
    // Hands the answer's peers to the task and finishes the announce.
    void TakeAnswer(const TrackerAnswer& answer);
    // The notices (at most one per announce). TellAnswer tells a failure reason or an unreadable
    // answer as a failure.
    void TellFailure(std::string_view why);
    void TellAnswer(const TrackerAnswer& answer);
    // The TCP connection failed (refused, or closed before the answer): a notice; answers false.
    bool ConnectionLost(bool was_connected);
    // The announce URL: the record's text without its "tracker://".
    std::string TrackerUrl() const;
    bool Stopping() const { return event_ == TrackerRequest::kEventStopped; }
    // The announce has left: the record is marked; a stopped announce is finished.
    void AnnounceLeft();
    // HTTP: connected (through the proxy, if any) and the request written out.
    bool RequestWritten() const;
    // Forgets everything of the current announce (state and status are the base's).
    void ClearAnnounce();

    QUdpSocket udp_socket_;
    std::string response_;  // the HTTP answer received so far
    int32_t event_ = TrackerRequest::kEventStarted;
    bool announced_ = false;
    int64_t attach_time_ = 0;
    bool told_ = false;
    bool left_ = false;  // the announce has left (AnnounceLeft ran)
    int64_t last_announce_ = 0;
    std::string query_;
    std::string request_;  // the HTTP request text built from query_
    TrackerRequest::TransactionId connect_transaction_{};
    TrackerRequest::TransactionId announce_transaction_{};
    TrackerRequest::ConnectionId connection_id_{};
};

}  // namespace kf
