#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/base/EngineGlobals.h"
#include "engine/base/EngineNotices.h"
#include "engine/content/TaskState.h"
#include "engine/net/QProxyConfig.h"

namespace kf {

class TPeerId;
class TPeerObject;

// The task as one party among its sources and peers: its clock, switches and state, how its
// connections go out, who it is and what it tells trackers, and the candidate records it keeps.
//
// Owner: the task (its work object implements it; peer tests use a fake), which outlives its
// peers. Thread: the task's own thread, every call. Addresses are IPv4 in network order. The
// non-pure calls have neutral defaults, so that a fake implements only what its peers ask.
class TaskSwarm {
  public:
    virtual ~TaskSwarm() = default;

    virtual int64_t CurrentTime() = 0;  // the task's current time, engine seconds
    virtual bool P2PEnabled() = 0;
    virtual void SetTaskState(TaskState state) = 0;
    // Records a status; an unresolvable source (20216) is published at once.
    virtual void SetTaskStatus(int32_t status) = 0;

    // Connections. The task's own proxy for its server and BT connections (none: the engine-wide
    // one), and the engine-wide local address outgoing connections bind to (0 lets the system
    // pick).
    virtual std::optional<QProxyConfig> TaskProxy() { return std::nullopt; }
    virtual uint32_t LocalBindAddress() { return 0; }
    // Outgoing handshakes begin with an HTTP-shaped request (the engine's switch).
    virtual bool HttpWrappedHandshake() {
        return EngineGlobals::Instance().http_wrapped_handshake.load();
    }
    // The UDP transport may carry a BT connection now (running, external address known, and the
    // prefer-UDP switch on or the task's current rate below 368640 bytes per second), the
    // prefer-UDP switch itself, and the number of candidates of the task. A swarm that does not
    // say otherwise connects over real TCP only.
    virtual bool UdpTransportUsable() { return false; }
    virtual bool PreferUdpTransport() { return false; }
    virtual int32_t CandidateCount() { return 0; }

    // Identity and what an announce tells a tracker. The peer id of HTTP announces is its own
    // digest input; UDP announces and handshakes carry HandshakePeerId.
    virtual std::array<uint8_t, 20> InfoHash() { return {}; }
    virtual std::array<uint8_t, 20> AnnouncePeerId() { return {}; }
    virtual std::array<uint8_t, 20> HandshakePeerId() { return {}; }
    // The task is a BitTorrent or P2SP task: a handshake may be accepted (a task that does not
    // say so refuses every one).
    virtual bool IsBtTask() { return false; }
    virtual int32_t ListenPort() { return 0; }
    // The listening socket's local address; 0 when not known.
    virtual uint32_t ListenAddress() { return 0; }
    virtual int64_t UploadedTotal() { return 0; }
    virtual int64_t DownloadedTotal() { return 0; }
    virtual int64_t BytesLeft() { return 0; }  // content size − bytes done
    // The last part of the task's target file path, for event reports; empty when not known.
    virtual std::string TargetFileName() { return {}; }

    // Sources: a record to add as a candidate (a tracker's peer, a redirect target), one to drop.
    virtual void AddSource(TPeerId& record, bool from_lan, bool replace_id) = 0;
    virtual void RemoveSource(TPeerId& record) = 0;
    // The task's BT record for an incoming peer's address (found or made); null when the task
    // keeps none (the peer then makes a record of its own).
    virtual TPeerId* AddPeerAddress(uint32_t /*ip*/, int32_t /*port*/) { return nullptr; }
    // Another connected BT peer of the task (`incoming_only`: another incoming one) has this
    // address and peer id.
    virtual bool HasPeerWithId(uint32_t /*ip*/, const std::array<uint8_t, 20>& /*peer_id*/,
                               const TPeerObject& /*except*/, bool /*incoming_only*/) {
        return false;
    }
    // A handshake was accepted from this address: the task's list of connected addresses.
    virtual void NoteConnectedAddress(uint32_t /*ip*/, int32_t /*port*/) {}
    // The bitfield of an outgoing connection told how many pieces its source has.
    virtual void NoteSourcePieces(TPeerId& /*source*/, int32_t /*pieces*/) {}

    // A notable event for the user, posted under the task's handle. Ask NoticesWanted() (or
    // leave the formatting to the call) before building texts.
    virtual void Notice(NoticeKind /*kind*/, std::string_view /*address*/, int64_t /*number*/,
                        std::string_view /*text*/) {}
};

}  // namespace kf
