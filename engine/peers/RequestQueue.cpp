#include "engine/peers/RequestQueue.h"

#include <cassert>

namespace kf {
namespace {

bool InPiece(const BlockRequest& request, PieceIndex piece, int32_t piece_length) {
    return int64_t{request.block} * kBlockSize / piece_length == piece.value();
}

}  // namespace

void RequestQueue::Check() const {
    assert(in_flight_ >= 0 && static_cast<size_t>(in_flight_) <= requests_.size() &&
           "more requests in flight than queued");
}

bool RequestQueue::Contains(const BlockRequest& request) const {
    return std::find(requests_.begin(), requests_.end(), request) != requests_.end();
}

bool RequestQueue::IsInFlight(const BlockRequest& request) const {
    const auto end = requests_.begin() + in_flight_;
    return std::find(requests_.begin(), end, request) != end;
}

void RequestQueue::Push(const BlockRequest& request) {
    requests_.push_back(request);
}

void RequestQueue::Restamp(size_t index, uint32_t queued_at) {
    requests_[index].queued_at = queued_at;
}

const BlockRequest& RequestQueue::NextToSend() const {
    assert(static_cast<size_t>(in_flight_) < requests_.size() && "no request left to send");
    return requests_[static_cast<size_t>(in_flight_)];
}

void RequestQueue::MarkSent() {
    ++in_flight_;
    Check();
}

void RequestQueue::DropNextToSend() {
    assert(static_cast<size_t>(in_flight_) < requests_.size() && "no request left to drop");
    requests_.erase(requests_.begin() + in_flight_);
}

void RequestQueue::StartRun(int32_t length) {
    in_flight_ = length;
    Check();
}

void RequestQueue::ForgetInFlight() {
    in_flight_ = 0;
}

bool RequestQueue::TakeAnswered(const BlockRequest& request, bool in_flight_only) {
    const size_t searched = in_flight_only ? static_cast<size_t>(in_flight_) : requests_.size();
    for (size_t i = 0; i < searched; ++i) {
        if (requests_[i] == request) {
            requests_.erase(requests_.begin() + static_cast<std::ptrdiff_t>(i));
            if (static_cast<int32_t>(i) < in_flight_) {
                --in_flight_;
            }
            Check();
            return true;
        }
    }
    return false;
}

void RequestQueue::DropFront() {
    requests_.pop_front();
    if (in_flight_ > 0) {
        --in_flight_;
    }
    Check();
}

std::deque<BlockRequest> RequestQueue::TakePiece(PieceIndex piece, int32_t piece_length) {
    std::deque<BlockRequest> taken;
    for (size_t i = 0; i < requests_.size();) {
        if (!InPiece(requests_[i], piece, piece_length)) {
            ++i;
            continue;
        }
        taken.push_back(requests_[i]);
        requests_.erase(requests_.begin() + static_cast<std::ptrdiff_t>(i));
        if (static_cast<int32_t>(i) < in_flight_) {
            --in_flight_;
        }
    }
    Check();
    return taken;
}

void RequestQueue::DropUnsentOfPiece(PieceIndex piece, int32_t piece_length) {
    const auto first_unsent = requests_.begin() + in_flight_;
    requests_.erase(std::remove_if(first_unsent, requests_.end(),
                                   [&](const BlockRequest& request) {
                                       return InPiece(request, piece, piece_length);
                                   }),
                    requests_.end());
}

std::deque<BlockRequest> RequestQueue::TakeAll() {
    std::deque<BlockRequest> all;
    all.swap(requests_);
    in_flight_ = 0;
    return all;
}

void RequestQueue::Clear() {
    requests_.clear();
    in_flight_ = 0;
}

}  // namespace kf
