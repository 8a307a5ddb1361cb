#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "engine/content/StrongIndex.h"
#include "engine/peers/BlockRequest.h"

namespace kf {

// The blocks one connection is to fetch, oldest first, and how many of the first ones are in
// flight: the connection is fetching them already. A BitTorrent peer puts requests in flight one
// at a time as it sends them (MarkSent), and they stay there until answered. An HTTP stream puts
// a run of adjoining blocks in flight at once (StartRun): the run its open response delivers in
// order. An FTP stream reads the queue as it comes and puts nothing in flight. Either way a block
// that arrives leaves the queue, and the count when it was in flight.
//
// Owner: the connection's PeerWork; the peer object and the task's block scheduler change it.
// Thread: the task thread only.
// Invariant, checked in debug builds after every change: 0 <= InFlight() <= size(), and the
// requests in flight are the first InFlight() ones.
class RequestQueue {
  public:
    using const_iterator = std::deque<BlockRequest>::const_iterator;

    bool empty() const { return requests_.empty(); }
    size_t size() const { return requests_.size(); }
    const BlockRequest& front() const { return requests_.front(); }
    const BlockRequest& back() const { return requests_.back(); }
    const BlockRequest& operator[](size_t index) const { return requests_[index]; }
    const_iterator begin() const { return requests_.begin(); }
    const_iterator end() const { return requests_.end(); }
    int32_t InFlight() const { return in_flight_; }
    // An equal request (block number and length) is queued.
    bool Contains(const BlockRequest& request) const;

    // Appends a request, not in flight.
    void Push(const BlockRequest& request);
    // The time a queued request counts from (its age decides when others may share it).
    void Restamp(size_t index, uint32_t queued_at);

    // BT: the first request not in flight (there must be one). It is sent (MarkSent) or, when it
    // cannot be, dropped (DropNextToSend).
    const BlockRequest& NextToSend() const;
    void MarkSent();
    void DropNextToSend();
    // HTTP: the first `length` requests are the run the stream reads now.
    void StartRun(int32_t length);
    // Nothing is in flight any more; the requests stay queued (BT: each is sent again; HTTP: the
    // stream's run is over).
    void ForgetInFlight();

    // Removes the request that a delivered block answers: an equal one among those in flight, or
    // without `in_flight_only` anywhere in the queue. False when there is none.
    bool TakeAnswered(const BlockRequest& request, bool in_flight_only);
    // Drops the first request (passed over by a stream with no piece map to write it to).
    void DropFront();
    // Removes and answers the requests for blocks of `piece`, in flight or not.
    std::deque<BlockRequest> TakePiece(PieceIndex piece, int32_t piece_length);
    // Drops the requests for blocks of `piece` that are not in flight.
    void DropUnsentOfPiece(PieceIndex piece, int32_t piece_length);
    // Walks the queue in order and drops the requests `drop(request, in_flight)` answers true
    // for; it may restamp a request it keeps. `in_flight` tells whether the request was in
    // flight when the walk began, and the count goes down by the dropped ones that were.
    template <class Drop>
    void DropIf(Drop drop);
    // An equal request is in flight.
    bool IsInFlight(const BlockRequest& request) const;
    // Empties the queue and answers what it held.
    std::deque<BlockRequest> TakeAll();
    void Clear();

  private:
    void Check() const;

    std::deque<BlockRequest> requests_;
    int32_t in_flight_ = 0;
};

template <class Drop>
void RequestQueue::DropIf(Drop drop) {
    // Positions are counted as they were before the walk: a request dropped ahead of an unsent
    // one must not make that one look sent (it would be cancelled, and the count left too high).
    const size_t before = static_cast<size_t>(in_flight_);
    size_t position = 0;
    for (size_t i = 0; i < requests_.size(); ++position) {
        const bool in_flight = position < before;
        if (drop(requests_[i], in_flight)) {
            in_flight_ -= in_flight ? 1 : 0;
            requests_.erase(requests_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
    Check();
}

}  // namespace kf
