#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/peers/TaskContent.h"
#include "engine/peers/TaskRanges.h"
#include "engine/peers/TaskSwarm.h"
#include "engine/task/TWorkThread.h"

namespace kf {

// The task as its peer objects see it: its piece map, block scheduler, candidates, identity,
// counters and switches behind the calls a peer makes.
//
// Owner: its TWorkThread, which outlives every peer object made with it. Thread: the task thread
// only. Results: with no piece map every content answer is false, 0 or empty and nothing is
// written or read.
class TWorkThread::PeerFace : public TaskContent, public TaskRanges, public TaskSwarm {
  public:
    explicit PeerFace(TWorkThread& task) : task_(task) {}

    // TaskContent.
    bool ContentSizeKnown() override;
    int64_t ContentSize() override;
    int32_t PieceCount() override;
    int32_t PieceLength() override;
    bool IsComplete() override;
    std::optional<PieceIndex> PreferredPiece() override;
    bool InEndGame() override;
    bool IsPieceVerified(PieceIndex piece) override;
    std::pair<int32_t, int32_t> MissingRange(PieceIndex piece) override;
    bool IsBlockDone(ContentBlock block, int32_t length) override;
    WriteResult WriteBlock(ContentBlock block, std::span<const uint8_t> bytes,
                           TPeerObject& from) override;
    std::span<uint8_t> BlockRoom(ContentBlock block, int32_t offset) override;
    WriteResult CommitBlockBytes(ContentBlock block, int32_t offset, int32_t length,
                                 TPeerObject& from) override;
    bool TakeFromSharedBlocks(const BlockRequest& request) override;
    void ReturnBlocks(std::deque<BlockRequest> blocks) override;
    bool InSharedBlocks(const BlockRequest& request) override;
    void AddSharedBlock(const BlockRequest& request) override;
    std::vector<uint8_t> BitfieldBytes() override;
    BtPlan PlanBtRequests(PeerWork& peer) override;
    std::optional<PieceIndex> NextBtPiece(PeerWork& peer) override;
    bool ReadBlock(PieceIndex piece, int32_t begin, std::span<uint8_t> out) override;
    void CountUploaded(int32_t bytes) override;
    void CountPayload(int32_t peer_kind, int32_t bytes) override;
    int32_t DownloadAllowance() override;
    int32_t DownloadLimit() override;
    int32_t UploadAllowance() override;
    void NotePendingSend() override;
    int32_t PeersWithUnsentData() override;
    int32_t PeerSlotTarget() override;

    // TaskRanges.
    std::optional<PieceIndex> NextServerPiece(PeerWork& peer) override;
    void ReleaseRange(PeerWork& peer) override;
    void FinishRange(PeerWork& peer) override;
    std::optional<PieceIndex> TakeRangeAtPreferred(PeerWork& peer) override;

    // TaskSwarm.
    int64_t CurrentTime() override;
    bool P2PEnabled() override;
    void SetTaskState(TaskState state) override;
    void SetTaskStatus(int32_t status) override;
    std::optional<QProxyConfig> TaskProxy() override;
    uint32_t LocalBindAddress() override;
    bool UdpTransportUsable() override;
    bool PreferUdpTransport() override;
    int32_t CandidateCount() override;
    std::array<uint8_t, 20> InfoHash() override;
    std::array<uint8_t, 20> AnnouncePeerId() override;
    std::array<uint8_t, 20> HandshakePeerId() override;
    bool IsBtTask() override;
    int32_t ListenPort() override;
    uint32_t ListenAddress() override;
    int64_t UploadedTotal() override;
    int64_t DownloadedTotal() override;
    int64_t BytesLeft() override;
    std::string TargetFileName() override;
    void AddSource(TPeerId& record, bool from_lan, bool replace_id) override;
    void RemoveSource(TPeerId& record) override;
    TPeerId* AddPeerAddress(uint32_t ip, int32_t port) override;
    bool HasPeerWithId(uint32_t ip, const std::array<uint8_t, 20>& peer_id,
                       const TPeerObject& except, bool incoming_only) override;
    void Notice(NoticeKind kind, std::string_view address, int64_t number,
                std::string_view text) override {
        task_.Notice(kind, address, number, text);
    }

  private:
    bool Ready();
    bool InRange(PieceIndex piece);

    TWorkThread& task_;
};

}  // namespace kf
