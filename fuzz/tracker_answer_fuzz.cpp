// libFuzzer target: tracker answers read from any bytes: the HTTP framing (whole, cut short, and
// with the connection closed), the bencoded body, and the UDP connect, announce and error answers.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/net/Ipv4Address.h"
#include "engine/peers/TrackerAnswer.h"

namespace {

using kf::TrackerAnswer;
using kf::TrackerRequest;

void CheckAnswer(const TrackerAnswer& answer) {
    if (answer.peers.size() > TrackerAnswer::kMaxPeers ||
        (answer.interval != TrackerAnswer::kDefaultInterval &&
         answer.interval <= TrackerAnswer::kShortestInterval)) {
        __builtin_trap();
    }
    for (const TrackerAnswer::Peer& peer : answer.peers) {
        if (peer.port < 1 || peer.port > 65535 || !kf::IsValidAddress(peer.ip)) {
            __builtin_trap();
        }
    }
}

std::span<const uint8_t> AsBytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);

    const TrackerAnswer::HttpFrame open = TrackerAnswer::FrameHttp(bytes, false);
    const TrackerAnswer::HttpFrame closed = TrackerAnswer::FrameHttp(bytes, true);
    if (open.body.size() > size || closed.body.size() > size ||
        closed.state == TrackerAnswer::HttpState::kNeedMore) {
        __builtin_trap();
    }
    // An answer complete while the connection is open is the same answer when it closes.
    if (open.state == TrackerAnswer::HttpState::kComplete &&
        (closed.state != TrackerAnswer::HttpState::kComplete || closed.body != open.body)) {
        __builtin_trap();
    }
    // More bytes never undo a complete answer.
    if (size > 0) {
        const TrackerAnswer::HttpFrame part =
            TrackerAnswer::FrameHttp(bytes.first(size - 1), false);
        if (part.state == TrackerAnswer::HttpState::kComplete &&
            (open.state != TrackerAnswer::HttpState::kComplete || open.body != part.body)) {
            __builtin_trap();
        }
    }
    if (closed.state == TrackerAnswer::HttpState::kComplete) {
        CheckAnswer(TrackerAnswer::ParseHttpBody(AsBytes(closed.body)));
    }
    CheckAnswer(TrackerAnswer::ParseHttpBody(bytes));

    // The datagram's own bytes 4..7 as our transaction id, so that the answer paths are reached.
    TrackerRequest::TransactionId sent{};
    for (size_t i = 0; i < sent.size() && 4 + i < size; ++i) {
        sent[i] = data[4 + i];
    }
    (void)TrackerAnswer::ParseUdpConnect(bytes, sent);
    if (const auto answer = TrackerAnswer::ParseUdpAnnounce(bytes, sent)) {
        CheckAnswer(*answer);
        if (size < 8 || answer->peers.size() > (size > 20 ? (size - 20) / 6 : 0)) {
            __builtin_trap();
        }
    }
    if (const auto error = TrackerAnswer::ParseUdpError(bytes, sent)) {
        if (error->size() + 8 > size) {
            __builtin_trap();
        }
    }
    return 0;
}
