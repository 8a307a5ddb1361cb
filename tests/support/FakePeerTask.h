#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/peers/PeerWork.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TaskContent.h"
#include "engine/peers/TaskRanges.h"
#include "engine/peers/TaskSwarm.h"

namespace kf::test {

// A task for peer-object tests: a content of a given size held in memory, block by block, with
// a simple server-piece choice (the next piece after the last one taken that still misses data)
// and a settable clock. It records what the peer asked of it so that tests can check it.
// Single-threaded, like a real task.
class FakePeerTask : public TaskContent, public TaskRanges, public TaskSwarm {
  public:
    struct Write {
        int32_t block;
        int32_t length;
    };

    FakePeerTask(int64_t content_size, int32_t piece_length);

    // Marks every block of `piece` as held (as if another source had fetched it).
    void MarkPieceDone(int32_t piece);
    // The bytes received so far at [offset, offset + length) (zeros where nothing arrived).
    std::string Stored(int64_t offset, int64_t length) const;
    bool AllDone() const;
    int32_t BlocksDone() const;

    // TaskContent.
    bool ContentSizeKnown() override { return size_known; }
    int64_t ContentSize() override { return content_size_; }
    int32_t PieceCount() override { return piece_count_; }
    int32_t PieceLength() override { return piece_length_; }
    bool IsComplete() override { return AllDone(); }
    std::optional<PieceIndex> PreferredPiece() override;
    bool InEndGame() override { return end_game; }
    bool IsPieceVerified(PieceIndex piece) override;
    std::pair<int32_t, int32_t> MissingRange(PieceIndex piece) override;
    bool IsBlockDone(ContentBlock block, int32_t length) override;
    WriteResult WriteBlock(ContentBlock block, std::span<const uint8_t> bytes,
                           TPeerObject& from) override;
    bool TakeFromSharedBlocks(const BlockRequest& request) override;
    void ReturnBlocks(std::deque<BlockRequest> blocks) override;
    bool InSharedBlocks(const BlockRequest& request) override;
    void AddSharedBlock(const BlockRequest& request) override { shared_blocks.push_back(request); }
    // BitTorrent: a simple planner (shared blocks first, then the first piece the peer has that is
    // neither verified nor engaged, up to bt_queue_limit requests), reads from the held blocks.
    std::vector<uint8_t> BitfieldBytes() override;
    BtPlan PlanBtRequests(PeerWork& peer) override;
    std::optional<PieceIndex> NextBtPiece(PeerWork& peer) override;
    bool ReadBlock(PieceIndex piece, int32_t begin, std::span<uint8_t> out) override;
    void CountUploaded(int32_t bytes) override { uploaded_total += bytes; }
    void CountPayload(int32_t peer_kind, int32_t bytes) override;
    int32_t DownloadAllowance() override { return download_allowance; }
    int32_t DownloadLimit() override { return download_limit; }
    int32_t UploadAllowance() override { return 1 << 30; }
    void NotePendingSend() override { ++pending_senders; }
    int32_t PeersWithUnsentData() override { return peers_with_unsent_data; }

    // TaskRanges.
    std::optional<PieceIndex> NextServerPiece(PeerWork& peer) override;
    void ReleaseRange(PeerWork& peer) override;
    void FinishRange(PeerWork& peer) override;
    std::optional<PieceIndex> TakeRangeAtPreferred(PeerWork& peer) override;

    // TaskSwarm.
    int64_t CurrentTime() override { return now; }
    bool P2PEnabled() override { return p2p_enabled; }
    void SetTaskState(kf::TaskState state) override { task_state = state; }
    void SetTaskStatus(int32_t status) override { task_status = status; }
    uint32_t LocalBindAddress() override { return local_bind_address; }
    bool HttpWrappedHandshake() override { return http_wrapped; }
    std::array<uint8_t, 20> InfoHash() override { return info_hash; }
    std::array<uint8_t, 20> AnnouncePeerId() override { return announce_peer_id; }
    std::array<uint8_t, 20> HandshakePeerId() override { return handshake_peer_id; }
    bool IsBtTask() override { return bt_task; }
    int32_t ListenPort() override { return listen_port; }
    uint32_t ListenAddress() override { return listen_address; }
    int64_t UploadedTotal() override { return uploaded_total; }
    int64_t DownloadedTotal() override { return downloaded_total; }
    int64_t BytesLeft() override { return bytes_left; }
    void AddSource(TPeerId& record, bool from_lan, bool replace_id) override;
    void RemoveSource(TPeerId& record) override;
    TPeerId* AddPeerAddress(uint32_t ip, int32_t port) override;
    bool HasPeerWithId(uint32_t ip, const std::array<uint8_t, 20>& peer_id,
                       const TPeerObject& except, bool incoming_only) override;
    void NoteConnectedAddress(uint32_t ip, int32_t port) override;
    void NoteSourcePieces(TPeerId& source, int32_t pieces) override;
    void Notice(NoticeKind kind, std::string_view address, int64_t number,
                std::string_view text) override;

    // Fills [offset, offset + bytes.size()) and marks every whole block in it held (a seed).
    void StoreContent(int64_t offset, std::string_view bytes);

    // Settings.
    int64_t now = 1000;
    bool p2p_enabled = true;
    bool size_known = true;
    bool end_game = false;
    int32_t preferred_piece = -1;  // none while negative
    int32_t download_allowance = 1 << 30;
    int32_t download_limit = 0;        // bytes a second; 0: none
    std::set<int32_t> failing_pieces;  // these fail their check when completed
    bool failing_whole = true;         // they were sent wholly by the peer that completed them
    // Tracker announces (addresses in network order).
    std::array<uint8_t, 20> info_hash{};
    std::array<uint8_t, 20> announce_peer_id{};
    std::array<uint8_t, 20> handshake_peer_id{};
    int32_t listen_port = 0;
    uint32_t listen_address = 0;
    uint32_t local_bind_address = 0;
    int64_t uploaded_total = 0;
    int64_t downloaded_total = 0;
    int64_t bytes_left = 0;
    // BitTorrent.
    bool bt_task = true;
    bool http_wrapped = false;
    size_t bt_queue_limit = 16;
    int32_t peers_with_unsent_data = 0;
    std::set<int32_t> unreadable_pieces;  // ReadBlock fails for these
    struct KnownPeer {
        uint32_t ip;
        std::array<uint8_t, 20> peer_id;
        bool incoming;
    };
    std::vector<KnownPeer> other_peers;         // what HasPeerWithId compares against
    std::vector<RefPtr<TPeerId>> peer_records;  // made by AddPeerAddress
    std::vector<std::pair<uint32_t, int32_t>> connected_addresses;
    std::vector<int32_t> source_piece_notices;
    struct PostedNotice {
        NoticeKind kind;
        std::string address;
        int64_t number;
        std::string text;
    };
    std::vector<PostedNotice> notices;
    std::set<int32_t> engaged_pieces;

    // Records.
    std::vector<Write> writes;
    std::deque<BlockRequest> shared_blocks;
    std::vector<RefPtr<TPeerId>> added_sources;
    std::vector<std::string> removed_sources;
    std::vector<int32_t> failed_pieces;
    int64_t payload_by_kind[16] = {};
    kf::TaskState task_state = kf::TaskState::kIdle;
    int32_t task_status = 0;
    int32_t release_range_calls = 0;
    int32_t finish_range_calls = 0;
    int32_t take_preferred_calls = 0;
    int32_t pending_senders = 0;
    Range range;  // the one range handed out by TakeRangeAtPreferred

  private:
    bool WantsPiece(int32_t piece);
    int32_t BlocksInPiece(int32_t piece) const;
    int32_t FirstBlock(int32_t piece) const;

    int64_t content_size_;
    int32_t piece_length_;
    int32_t piece_count_;
    std::string data_;
    std::vector<bool> done_;
};

}  // namespace kf::test
