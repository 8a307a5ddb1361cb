// TBTPeer: our requests to the remote, planned by the task's scheduler, sent within the pipeline's
// limit, cancelled when their blocks arrived from elsewhere or their piece failed its check.

#include <algorithm>
#include <functional>

#include "engine/base/EngineClock.h"
#include "engine/os/Tick.h"
#include "engine/peers/TBTPeer.h"

namespace kf {
namespace {

constexpr int32_t kDropDoneAge = 8;  // seconds a request waits before others may share it
constexpr int64_t kPreferredWindowBytes = 8388608;
constexpr int32_t kPreferredWindowUnknown = 40;

}  // namespace

bool TBTPeer::Locate(int32_t block, uint32_t& index, uint32_t& begin) {
    const int32_t piece_length = Content().PieceLength();
    const int64_t offset = static_cast<int64_t>(block) * kBlockSize;
    if (block < 0 || piece_length <= 0 || offset >= Content().ContentSize()) {
        return false;
    }
    index = static_cast<uint32_t>(offset / piece_length);
    begin = static_cast<uint32_t>(offset % piece_length);
    return true;
}

int32_t TBTPeer::RequestLimit() const {
    return std::min(std::max(PipelineRate() / kBlockSize + 2, 6), kMaxOutstanding);
}

void TBTPeer::SampleQuickRate() {
    const uint64_t now = TickMilliseconds();
    const uint64_t total = ReceivedTotal();
    if (quick_since_ms_ == 0 || total < quick_since_bytes_) {
        quick_since_ms_ = now;
        quick_since_bytes_ = total;
        return;
    }
    const uint64_t elapsed = now - quick_since_ms_;
    if (elapsed < kQuickRateMs) {
        return;
    }
    quick_rate_ = static_cast<int32_t>(
        std::min<uint64_t>((total - quick_since_bytes_) * 1000 / elapsed, INT32_MAX));
    quick_since_ms_ = now;
    quick_since_bytes_ = total;
}

bool TBTPeer::SendRequests(int32_t limit) {
    if (work_.requests.empty() || !IsConnected() || exchange_.peer_choking ||
        !Content().ContentSizeKnown() || State() != kEstablished) {
        return true;
    }
    QSocket& conn = *Connection();
    const bool end_game = Content().InEndGame();
    send_batch_.clear();
    RequestQueue& queue = work_.requests;
    while (static_cast<size_t>(queue.InFlight()) < queue.size() && queue.InFlight() < limit) {
        const BlockRequest& request = queue.NextToSend();
        uint32_t index = 0;
        uint32_t begin = 0;
        if (request.length <= 0 || request.length > kBlockSize ||
            !Locate(request.block, index, begin) ||
            (end_game && Content().IsBlockDone(ContentBlock(request.block), request.length))) {
            queue.DropNextToSend();
            continue;
        }
        const auto message = BtWire::Request(index, begin, static_cast<uint32_t>(request.length));
        send_batch_.insert(send_batch_.end(), message.begin(), message.end());
        queue.MarkSent();
        if (static_cast<int32_t>(send_batch_.size()) > kRequestBatchBytes) {
            if (conn.SendBytes(send_batch_) < 0) {
                return false;
            }
            send_batch_.clear();
        }
    }
    if (!send_batch_.empty() && conn.SendBytes(send_batch_) < 0) {
        return false;
    }
    return true;
}

void TBTPeer::AddCancel(const BlockRequest& request) {
    uint32_t index = 0;
    uint32_t begin = 0;
    if (!Locate(request.block, index, begin)) {
        return;
    }
    const auto message = BtWire::Cancel(index, begin, static_cast<uint32_t>(request.length));
    send_batch_.insert(send_batch_.end(), message.begin(), message.end());
    if (cancelled_.size() >= kMaxCancelled) {
        cancelled_.pop_front();
    }
    cancelled_.push_back(request);
}

bool TBTPeer::TakeCancelled(const BlockRequest& request) {
    const auto found = std::find(cancelled_.begin(), cancelled_.end(), request);
    if (found == cancelled_.end()) {
        return false;
    }
    cancelled_.erase(found);
    return true;
}

void TBTPeer::CancelOutstanding() {
    if (!IsConnected()) {
        return;
    }
    send_batch_.clear();
    for (size_t i = 0; i < static_cast<size_t>(work_.requests.InFlight()); ++i) {
        AddCancel(work_.requests[i]);
    }
    if (!send_batch_.empty()) {
        Connection()->SendBytes(send_batch_);
    }
}

void TBTPeer::DropRequestsIf(const std::function<bool(const BlockRequest&)>& which) {
    send_batch_.clear();
    work_.requests.DropIf([&](const BlockRequest& request, bool in_flight) {
        if (!which(request)) {
            return false;
        }
        if (in_flight) {
            AddCancel(request);
        }
        return true;
    });
    if (!send_batch_.empty() && IsConnected()) {
        Connection()->SendBytes(send_batch_);
    }
}

void TBTPeer::ForgetPiece(PieceIndex piece) {
    const int32_t piece_length = Content().PieceLength();
    if (piece_length > 0) {
        DropRequestsIf([&](const BlockRequest& request) {
            return int64_t{request.block} * kBlockSize / piece_length == piece.value();
        });
    }
}

void TBTPeer::DropRequest(const BlockRequest& request) {
    if (work_.requests.Contains(request)) {
        DropRequestsIf([&](const BlockRequest& queued) { return queued == request; });
    }
}

void TBTPeer::StopFetching() {
    fetching_stopped_ = true;
    if (!work_.requests.empty()) {
        CancelOutstanding();
        Content().ReturnBlocks(work_.requests.TakeAll());
    }
}

bool TBTPeer::TopUpRequests() {
    if (exchange_.peer_choking || !exchange_.interested || !Content().ContentSizeKnown()) {
        return true;
    }
    const int32_t allowed = std::min(std::max(PipelineRate() / kBlockSize - 1, 5), kMaxOutstanding);
    const int32_t in_flight = work_.requests.InFlight();
    if (in_flight >= allowed || static_cast<int32_t>(work_.requests.size()) <= in_flight) {
        return true;
    }
    return SendRequests(RequestLimit());
}

bool TBTPeer::PlanRequests() {
    if (State() != kEstablished || exchange_.peer_choking || !Content().ContentSizeKnown() ||
        fetching_stopped_) {
        return true;
    }
    if (Content().IsComplete()) {
        if (!work_.requests.empty()) {
            CancelOutstanding();
            work_.requests.Clear();
        }
        return true;
    }
    SampleQuickRate();
    // The scheduler sizes this peer's queue from it.
    work_.download_rate = PipelineRate();
    const int32_t in_flight_before = work_.requests.InFlight();
    const bool empty_before = work_.requests.empty();
    TaskContent::BtPlan plan;
    if (static_cast<int32_t>(work_.requests.size()) < kMaxQueued) {
        plan = Content().PlanBtRequests(work_);
    }
    if (!plan.ran && plan.complete) {
        return true;
    }
    const bool send = plan.ran ? (in_flight_before == 0 || empty_before)
                               : (work_.requests.InFlight() == 0 && !work_.requests.empty());
    if (send) {
        work_.requests.ForgetInFlight();
        MutableActivity().in_piece = false;
        return SendRequests(RequestLimit());
    }
    return true;
}

std::optional<PieceIndex> TBTPeer::NextPiece() {
    if (!IsConnected()) {
        return std::nullopt;
    }
    return Content().NextBtPiece(work_);
}

void TBTPeer::DropDoneRequests() {
    if (!IsConnected() || !Content().ContentSizeKnown()) {
        return;
    }
    const int32_t piece_length = Content().PieceLength();
    const std::optional<PieceIndex> preferred = Content().PreferredPiece();
    const int64_t window =
        piece_length > 0 ? kPreferredWindowBytes / piece_length : kPreferredWindowUnknown;
    const uint32_t now = SecondsSinceStart();
    send_batch_.clear();
    // A held block sent for is cancelled and leaves the count with its request: a cancel in
    // flight is an answer we no longer await.
    work_.requests.DropIf([&](BlockRequest& request, bool in_flight) {
        if (Content().IsBlockDone(ContentBlock(request.block), request.length)) {
            if (in_flight) {
                AddCancel(request);
            }
            return true;
        }
        if (preferred && piece_length > 0) {
            const int64_t piece = static_cast<int64_t>(request.block) * kBlockSize / piece_length;
            if (piece >= preferred->value() && piece - preferred->value() <= window &&
                now - request.queued_at > static_cast<uint32_t>(kDropDoneAge) &&
                !Content().InSharedBlocks(request)) {
                // A block the reader waits for: let a faster peer have a go at it too.
                request.queued_at = now;
                Content().AddSharedBlock(request);
            }
        }
        return false;
    });
    if (!send_batch_.empty()) {
        Connection()->SendBytes(send_batch_);
    }
}

}  // namespace kf
