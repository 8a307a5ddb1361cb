#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/peers/FtpReplyParser.h"
#include "engine/peers/TServerPeer.h"

namespace kf {

// Downloads the task's file from an FTP server (an Ftp source). On the control connection (the
// peer's conn) it logs in, changes to the file's folder, switches to image type, asks for the
// size, then opens a passive data connection, positions it with REST and reads the file as one
// stream with RETR, cutting it into its queued 16 KiB blocks. A next wanted block up to 80 KiB
// ahead is reached by skipping; one further ahead or behind the stream drops the data connection,
// and after the server's reply to the broken transfer a new one is positioned. In fetch-to-memory
// mode the whole file is collected into the source record instead (the task's torrent).
//
// Control dialogue (commands lower-case, CR LF), with the replies that move it on:
//   welcome 220 | user 331 (230: no password asked) | pass 230/332 | cwd 250 | type i 200 |
//   size 213 | pasv 227 | rest 350 | retr 125/150 | transfer (226/250 may come early) |
//   after a dropped data connection 426/226/250, then pasv again.
// Any other reply ends the peer. Every 4xx lowers the source's max_connections while above 2 and
// every 5xx adds 60 to its penalty — except the reply that answers a transfer this peer broke off
// itself, which is expected.
//
// Owner and thread: as every peer object (TPeerObject), on the task's thread. The data
// connection is owned here and exists only from PASV to the end of a transfer; a released range
// leaves it open (the stream check repositions when the next wanted block is out of reach).
//
// Trust: the server is untrusted.
//   - Replies are read with FtpReplyParser's limits; one reply is taken at a time and the bytes
//     after it are kept for the next.
//   - The data connection always goes to the address the control connection was made to, with
//     the port the PASV answer names: an answer that names another host (a private address
//     behind a NAT, or a third party) is never followed there.
//   - A SIZE that differs from the task's content size ends the peer (penalty 60); stream bytes
//     are written only as whole requested blocks at the offset the REST and the count of bytes
//     read prove, so a transfer cut short (421, a closed or stalled data connection) writes
//     nothing partial.
//   - A data connection that cannot be made ends the peer at once with the time-out penalty 15.
//   - Transfers that the server ends without one whole block, three in a row, end the peer
//     (penalty 60) rather than loop.
//   - A memory body is capped at kMaxMemoryBody; the data bytes buffered at kMaxBuffered.
class TFtpPeer : public TServerPeer {
  public:
    enum FtpState : int32_t {
        kTransfer = 0,
        kWelcome = 1,
        kUser = 2,
        kPass = 3,
        kCwd = 4,
        kSize = 5,
        kType = 6,
        kPasv = 7,
        kRest = 8,
        kRetr = 9,
        kAfterDrop = 11,
    };
    enum Phase : int32_t {
        kCommandDue = 0,     // the state's command is to be queued
        kCommandQueued = 1,  // it waits on the control connection
        kAwaitingReply = 2,  // sent completely (or none is due): a reply is awaited
    };

    static constexpr int64_t kMaxSkip = 81920;  // 5 blocks
    static constexpr int32_t kMaxBuffered = 256 * 1024;
    // Most bytes a turn reads of the stream while the download allowance permits. Reads go
    // straight into the piece cache when they can (a scattered read over the next blocks):
    // through the receive buffer the bytes were copied once more and read 42 KiB at a time.
    static constexpr int32_t kMaxStreamRead = 1024 * 1024;
    static constexpr int32_t kReplyTimeout = 30;     // seconds without activity
    static constexpr int32_t kTransferTimeout = 15;  // in the transfer
    static constexpr int32_t kMaxEmptyTransfers = 3;
    static constexpr int32_t kMaxRepliesPerTick = 4;  // control replies taken in one turn

    explicit TFtpPeer(const TaskFaces& task);
    ~TFtpPeer() override;

    bool Receive() override;
    bool Flush() override;
    bool PlanRequests() override;
    void Reset() override;
    bool Attach(const RefPtr<TPeerId>& source) override;

    // The command text (CR LF included) of `state` for `source`, with `offset` for REST. Empty
    // for the states without a command, or when a field holds a control byte.
    static std::string BuildCommand(int32_t state, const TPeerId& source, int64_t offset);
    // The folder of `path`: up to its last "/", or "/" when that is the first byte.
    static std::string Directory(std::string_view path);

    int32_t GetFtpState() const { return ftp_state_; }
    static const char* FtpStateName(int32_t state);
    int32_t GetPhase() const { return phase_; }
    const QSocket* DataConnection() const override { return data_.get(); }

  protected:
    uint64_t ReceivedTotal() const override;
    int64_t TimeoutSeconds() const override;
    void OnStreamBytes(int64_t bytes, bool block_ended) override;
    bool End(int32_t penalty, std::string_view why) override;

  private:
    // The only way the dialogue moves; logs the change.
    void SetFtpState(int32_t state, int32_t phase);
    bool ReceiveReplies();
    // Handles one reply; false ends the peer.
    bool HandleReply(const FtpReplyParser::Reply& reply);
    bool HandleSize(const FtpReplyParser::Reply& reply);
    bool OpenDataConnection(const FtpReplyParser::Reply& reply);
    // Takes the next complete reply from the control connection: 1 taken, 0 none yet, -1 failed.
    int32_t NextReply(FtpReplyParser::Reply& reply, bool may_read);
    // The transfer: replies arriving meanwhile, then the stream.
    bool ReceiveTransfer();
    bool CheckDataConnect();
    bool ReceiveStream();
    // Reads the next bytes of the stream straight into the piece cache (TaskContent::BlockRoom)
    // when nothing is buffered and the stream stands inside its next requested block, at most
    // `budget` bytes; `read` is set to the bytes read (0: none now). kNotNow when the copying
    // path must read.
    enum class InPlace { kRead, kEnded, kRefused, kNotNow };
    InPlace ReceiveInPlace(int64_t budget, int64_t& read);
    bool DeliverStream(bool& reposition);
    bool ReceiveToMemory();
    // The server closed the data connection.
    bool TransferEnded();
    // This peer breaks the transfer off to start one at another offset.
    void DropTransfer();
    void CloseData();
    // The data connection closed and the dialogue and stream back at their start (a new session).
    void ClearSession();
    bool QueueCommand();
    // Closes both connections, adds `penalty`, logs `why`, answers false.
    bool Fail(int32_t penalty, std::string_view why);

    int32_t ftp_state_ = kWelcome;
    int32_t phase_ = kAwaitingReply;
    std::unique_ptr<QSocket> data_;
    bool data_established_ = false;
    bool completion_seen_ = false;  // the server's 226/250 for the running transfer arrived
    bool dropped_by_us_ = false;    // the reply awaited in kAfterDrop answers our own drop
    int32_t transfer_blocks_ = 0;   // blocks delivered from the running transfer
    int32_t empty_transfers_ = 0;   // transfers in a row that the server ended without a block
    uint64_t retired_data_bytes_ = 0;
};

}  // namespace kf
