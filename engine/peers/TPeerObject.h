#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "engine/base/TRefObject.h"
#include "engine/content/DataSource.h"
#include "engine/net/QSocket.h"
#include "engine/peers/PeerKind.h"
#include "engine/peers/PeerWork.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TVirtualPeer.h"
#include "engine/peers/TaskFaces.h"

namespace kf {

// What a task talks to a remote party through: the attached address record, the connection, the
// block request queue and held range (PeerWork), the per-tick pump, block delivery into the piece
// store and the traffic counters. TBTPeer, THttpPeer, TFtpPeer and TTrackerPeer derive from it.
//
// Owner and thread: created, pumped, reset and destroyed by its task on the task's thread; never
// runs a thread of its own. Reference counted (TRefObject, count 1 at creation); releasing the
// last reference through either base deletes the whole object. The task (TaskFaces) must outlive
// its peers: Reset and the destructor give queued requests and the held range back to it.
//
// Errors: no operation throws. A false answer from Pump asks the task to reset the peer and give
// it back; kind-specific failures add a penalty to the source first (15 for a time-out, 60 for a
// server error).
//
// Trust: every byte read from conn is untrusted; blocks are written only when this peer (or the
// task's shared block list) asked for exactly that block number and length.
class TPeerObject : public TVirtualPeer, public TRefObject, public DataSource {
  public:
    enum State : int32_t { kIdle = 0, kConnecting = 1, kEstablished = 2 };
    // Status codes read by the task.
    static constexpr int32_t kStatusUnchoked = 1;
    static constexpr int32_t kStatusChoked = 2;
    static constexpr int32_t kStatusTimedOut = 5;
    static constexpr int32_t kStatusFinished = 6;
    // Penalties added to a failing source.
    static constexpr int32_t kTimeoutPenalty = 15;
    static constexpr int32_t kServerErrorPenalty = 60;

    // The activity record the task reads when it trims, ranks and upkeeps its peers.
    struct Activity {
        bool incoming = false;      // the connection was accepted, not made
        int64_t last_activity = 0;  // task time of the attach, last delivered block or body growth
        bool pending_send = false;  // established and still holding unsent bytes after the tick
        bool in_piece = false;      // BT: a piece message is arriving
        int32_t current_piece = -1;
        int32_t stall_count = 0;  // raised by the task's upkeep, cleared by Pump on traffic
    };
    // Traffic figures. The download rate lives in PeerWork (the scheduler reads it there); both
    // rates are set together by SetRates.
    struct Rates {
        int32_t received_tick = 0;  // connection bytes of the last tick
        int32_t sent_tick = 0;
        int64_t received_window = 0;  // payload delivered in the current rate window
        int64_t sent_window = 0;
        int32_t download_rate = 0;  // bytes per second (window total ÷ 3)
        int32_t upload_rate = 0;
        int64_t sent_total = 0;
    };

    // Called once for every piece that failed its check with every block from one peer (the
    // engine's telemetry hooks in here). Task thread; must not call back into the peer.
    using WholeBadPieceHook = void (*)(const TPeerObject& peer, int64_t piece);
    static void SetWholeBadPieceHook(WholeBadPieceHook hook);

    // `type` is the PeerKind of the concrete class; `task` owns the peer and outlives it.
    TPeerObject(PeerKind type, const TaskFaces& task);
    ~TPeerObject() override;

    // TVirtualPeer defaults (Receive stays pure).
    bool Flush() override { return true; }
    // Queues the 16 KiB blocks still missing in the next piece of this connection's range, keeping
    // about two seconds of the measured rate in flight. Server kinds follow the task's preferred
    // piece when it jumps by more than 6 pieces.
    bool PlanRequests() override;
    bool ServeUploads() override { return true; }
    // Requests back to the task, connection closed (kept for reuse), range released, counters and
    // state cleared, source released (its live connection count lowered).
    void Reset() override;

    // One task tick: Receive, PlanRequests, TopUpRequests, Flush, then the connection test; the
    // first false ends the tick with false. Counts the tick's traffic.
    bool Pump();
    // BitTorrent only: ServeUploads with traffic counting; other kinds answer true.
    bool PumpUpload();
    virtual bool TopUpRequests() { return true; }

    // Takes a reference to `source` and prepares the connection (closed); the kind's override
    // then connects. False for a null or invalid source, or the one already attached. The task
    // raises the record's connections and reconnects counts itself.
    virtual bool Attach(const RefPtr<TPeerId>& source);
    // Adopts a connection that the engine accepted (BT). Answers IsConnected.
    bool AttachIncoming(std::unique_ptr<QSocket> connection);

    virtual bool StartSession() { return true; }
    virtual bool CheckHandshake() { return true; }
    virtual bool IsIdle() { return false; }
    // Not connected, idle, useless (unless `keep_useless`), or a seed once the task is complete.
    bool IsDroppable(bool keep_useless);
    virtual bool TimedOut() { return false; }
    // State non-zero and an open connection.
    virtual bool IsConnected() const;
    bool IsEstablished() const { return state_ == kEstablished && IsConnected(); }
    virtual int32_t RemoteRate() { return 0; }
    virtual bool IsUseless() { return false; }
    virtual bool IsSeedTooLong() { return false; }
    virtual void DropDoneRequests() {}
    // The remote has every piece. Servers hold the whole file: every kind but BT answers true.
    virtual bool IsSeed() const { return true; }
    // Records that the remote has become a seed, when it has (BT: the moment is kept for
    // IsSeedTooLong). Other kinds have nothing to record.
    virtual void NoteSeed() {}
    // Gives the held range back to the task (queued blocks go back with it).
    virtual void ReleaseRange();
    // The next piece to fetch: the task's HTTP/FTP choice from this connection's range.
    virtual std::optional<PieceIndex> NextPiece();

    // Delivers one received block: refused (false) unless it was requested by this peer or sits
    // in the task's shared block list with the same number and length; then written to the piece
    // store. False for a server kind when the piece it completed failed its check (a BT peer
    // stays: the task attributes the failure).
    bool DeliverBlock(int32_t block, std::span<const uint8_t> bytes);
    // The same for a block read in place (TaskContent::BlockRoom): its first `length` − `tail`
    // bytes are committed already, the last `tail` bytes are committed here once the request is
    // taken.
    bool DeliverBlockInPlace(int32_t block, int32_t length, int32_t tail);

    // DataSource: a piece came wholly from this peer (its source's history of whole pieces).
    void OnWholePiece(PieceIndex piece) override;
    // DataSource: the piece store found a bad piece with data from this peer. A whole piece
    // from one party is reported as an event: kBadPieceFromPeerEvent for a BitTorrent peer
    // (Serverip "a.b.c.d : port", Corruptpakid, Filename), kBadPieceFromServerEvent for an HTTP
    // or FTP server (Corruptpakid, Url, Filename).
    void OnBadPiece(PieceIndex piece, bool whole_piece) override;
    static constexpr const char* kBadPieceFromServerEvent = "11500101";
    static constexpr const char* kBadPieceFromPeerEvent = "11500102";

    // Set by the task from its rate window (every 4 seconds).
    void SetRates(int32_t download_rate, int32_t upload_rate);
    // The bytes of the current rate window; the window starts again (the task's 4-second step).
    struct Window {
        int64_t received = 0;
        int64_t sent = 0;
    };
    Window TakeRateWindow();

    int32_t State() const { return state_; }
    int32_t Status() const { return status_; }
    PeerKind Type() const { return type_; }
    int32_t Serial() const { return serial_; }
    void SetSerial(int32_t serial) { serial_ = serial; }
    const Activity& GetActivity() const { return activity_; }
    Activity& MutableActivity() { return activity_; }
    const Rates& GetRates() const { return rates_; }
    int32_t KibReceived() const { return kib_received_; }
    int32_t Errors() const { return errors_; }
    void AddError() { ++errors_; }
    TPeerId* Source() const { return source_.get(); }
    // The remote party for the user: a server's URL, else "a.b.c.d:port"; empty without a source.
    std::string AddressText() const;
    // Why this peer ended, as noted where it failed; null when nothing was noted.
    const char* EndReason() const { return end_reason_; }
    // Notes why this peer ends (the first note of a session counts). `why` must be a literal.
    void NoteEnd(const char* why) {
        if (end_reason_ == nullptr) {
            end_reason_ = why;
        }
    }
    QSocket* Connection() const { return conn_.get(); }
    // A second connection the task's loop should watch for traffic (FTP data), or null.
    virtual const QSocket* DataConnection() const { return nullptr; }
    PeerWork& Work() { return work_; }
    const PeerWork& Work() const { return work_; }
    // The task's faces: its content, its piece ranges, and the task among its sources and peers.
    TaskContent& Content() const { return content_; }
    TaskRanges& Ranges() const { return ranges_; }
    TaskSwarm& Swarm() const { return swarm_; }

  protected:
    // Bytes received on the connection(s) in all, for the tick's traffic (FTP adds its data
    // connection).
    virtual uint64_t ReceivedTotal() const;
    // Becoming established tells the user (a server answered, a handshake was taken).
    void SetState(int32_t state);
    void SetStatus(int32_t status) { status_ = status; }
    void MarkActivity();
    // Closes the connection (the object stays for reuse).
    void CloseConnection();
    // Makes a connection object when there is none.
    QSocket& EnsureConnection();
    // Under a download limit the kernel would otherwise buffer megabytes that the limit lets in
    // only slowly: data that a stop or a crash throws away after the sender counted it as sent.
    void FitReceiveBufferToLimit();
    // Drops the attached record without the bookkeeping of Reset (for a re-attach).
    RefPtr<TPeerId> DetachSource();
    // Attaches a record to a connection that is already there (an accepted BT connection learns
    // its record from the handshake); counts one live connection on it, as Reset gives back.
    void AdoptSource(const RefPtr<TPeerId>& source);
    // Adds to the source's penalty.
    void PenalizeSource(int32_t amount);

    PeerWork work_;
    std::deque<BlockRequest> peer_requests_;  // BT: blocks the remote asked for

  private:
    void ReportWholeBadPiece(PieceIndex piece);
    // The two halves of a delivery around the write: the request is taken from this peer's queue
    // (or the shared list), false when there is none; then the figures after the write.
    bool TakeDeliveredRequest(int32_t block, int32_t length);
    bool FinishDelivery(int32_t block, int32_t length, const TaskContent::WriteResult& result);

    int32_t state_ = kIdle;
    int32_t status_ = 0;
    PeerKind type_;
    Activity activity_;
    Rates rates_;
    int32_t kib_received_ = 0;
    int32_t errors_ = 0;
    int32_t serial_ = 0;
    const char* end_reason_ = nullptr;
    RefPtr<TPeerId> source_;
    std::unique_ptr<QSocket> conn_;
    TaskContent& content_;
    TaskRanges& ranges_;
    TaskSwarm& swarm_;
};

}  // namespace kf
