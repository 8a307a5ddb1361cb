// TFtpPeer: the transfer on the data connection, the stream cut into the queued blocks (in place
// where it can be), repositioning, and a file kept in memory.

#include <algorithm>

#include "engine/peers/TFtpPeer.h"

namespace kf {
namespace {

constexpr int32_t kMaxReadsPerTick = 8;

}  // namespace

void TFtpPeer::OnStreamBytes(int64_t /*bytes*/, bool block_ended) {
    if (block_ended) {
        ++transfer_blocks_;
        empty_transfers_ = 0;
    }
}

bool TFtpPeer::ReceiveTransfer() {
    for (int i = 0; i < kMaxRepliesPerTick; ++i) {
        FtpReplyParser::Reply reply;
        const int32_t got = NextReply(reply, i == 0);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!HandleReply(reply)) {
            return false;
        }
    }
    if (data_ == nullptr) {
        return Fail(0, "transfer without a data connection");
    }
    if (!data_established_) {
        return true;
    }
    if (Source()->UrlInfo().fetch_to_memory) {
        return ReceiveToMemory();
    }
    return ReceiveStream();
}

bool TFtpPeer::ReceiveStream() {
    bool reposition = false;
    // Whole blocks already buffered go first: a close seen by the next read drops the buffer.
    if (data_->ReceivedLength() > 0 && !DeliverStream(reposition)) {
        return false;
    }
    if (reposition) {
        DropTransfer();
        return true;
    }
    const int32_t allowance = Content().DownloadAllowance();
    if (allowance == 0 && State() != kConnecting) {
        return true;
    }
    // A turn drains what the data connection holds, within the allowance and kMaxStreamRead.
    int64_t budget = allowance > 0 ? allowance : kMaxStreamRead;
    for (int read = 0; read < kMaxReadsPerTick && !work_.requests.empty() && budget > 0; ++read) {
        int64_t taken = 0;
        switch (ReceiveInPlace(budget, taken)) {
            case InPlace::kRead:
                if (taken == 0) {
                    return true;  // nothing more to read now
                }
                budget -= taken;
                continue;
            case InPlace::kEnded:
                return TransferEnded();
            case InPlace::kRefused:
                return Fail(0, "block refused");
            case InPlace::kNotNow:
                break;
        }
        if (!work_.requests.empty() &&
            position_ > static_cast<int64_t>(work_.requests.front().block) * kBlockSize) {
            // The stream stands inside a block begun in place that the cache no longer takes
            // there (filled meanwhile): a new transfer starts at the block.
            DropTransfer();
            return true;
        }
        // Through the receive buffer. A block begun there is finished with a read of just its
        // rest, so that the buffer empties and the next read can go in place again.
        const int32_t before = data_->ReceivedLength();
        int64_t wanted =
            std::min<int64_t>({QSocket::kDefaultReceiveSize, kMaxBuffered - before, budget});
        const int64_t need = skip_ + work_.requests.front().length - before;
        if (before > 0 && need > 0) {
            wanted = std::min(wanted, need);
        }
        if (wanted <= 0) {
            break;  // the next requests are planned first; the socket holds the rest
        }
        const int32_t now_buffered = data_->ReceiveBytes(static_cast<int32_t>(wanted));
        if (now_buffered < 0) {
            return TransferEnded();
        }
        if (now_buffered <= before) {
            break;  // nothing more to read now
        }
        budget -= now_buffered - before;
        if (!DeliverStream(reposition)) {
            return false;
        }
        if (reposition) {
            DropTransfer();
            return true;
        }
    }
    return true;
}

TFtpPeer::InPlace TFtpPeer::ReceiveInPlace(int64_t budget, int64_t& read) {
    read = 0;
    QSocket& data = *data_;
    // A proxy's reply on the data connection is read through the receive buffer first.
    if (!data.ProxyDone() || data.ReceivedLength() > 0 || skip_ != 0 || work_.requests.empty()) {
        return InPlace::kNotNow;
    }
    const BlockRequest head = work_.requests.front();
    const int64_t filled = position_ - static_cast<int64_t>(head.block) * kBlockSize;
    if (filled < 0 || filled >= head.length) {
        return InPlace::kNotNow;  // a skip or a reposition: the copying path sorts these out
    }
    // Any queued block may be gathered: the stream runs on over the whole queue.
    GatherRooms(work_.requests.size(), filled, budget);
    if (rooms_.empty()) {
        return InPlace::kNotNow;
    }
    const int32_t got_total = data.ReceiveInto(rooms_);
    if (got_total < 0) {
        return InPlace::kEnded;
    }
    read = got_total;
    return CommitRooms(got_total) ? InPlace::kRead : InPlace::kRefused;
}

bool TFtpPeer::DeliverStream(bool& reposition) {
    QSocket& data = *data_;
    const std::span<const uint8_t> bytes = data.Received();
    const auto available = static_cast<int64_t>(bytes.size());
    int64_t offset = 0;
    bool ok = true;
    while (!work_.requests.empty()) {
        const BlockRequest head = work_.requests.front();
        const int64_t gap = static_cast<int64_t>(head.block) * kBlockSize - position_;
        if (gap < 0 || gap > kMaxSkip) {
            reposition = true;
            break;
        }
        skip_ = gap;
        if (gap > 0) {
            SkipBuffered(available, offset);
            if (skip_ > 0) {
                break;
            }
            continue;
        }
        const Cut cut = CutBlock(head, bytes, offset);
        if (cut != Cut::kDelivered) {
            ok = cut == Cut::kShort;  // a short buffer waits for the next read
            break;
        }
        if (!work_.requests.empty() && work_.requests.front() == head) {
            work_.requests.DropFront();  // taken without a piece map to put it in
        }
    }
    if (offset > 0) {
        data.Consume(static_cast<int32_t>(offset));
    }
    if (!ok) {
        return Fail(0, "block refused");
    }
    return true;
}

void TFtpPeer::DropTransfer() {
    CloseData();
    position_ = 0;
    skip_ = 0;
    if (completion_seen_) {
        SetFtpState(kPasv, kCommandDue);
    } else {
        dropped_by_us_ = true;
        SetFtpState(kAfterDrop, kAwaitingReply);
    }
}

bool TFtpPeer::TransferEnded() {
    const bool had_blocks = transfer_blocks_ > 0;
    CloseData();
    position_ = 0;
    skip_ = 0;
    if (!had_blocks && ++empty_transfers_ >= kMaxEmptyTransfers) {
        return Fail(kServerErrorPenalty, "transfers end without data");
    }
    dropped_by_us_ = false;
    if (completion_seen_) {
        SetFtpState(kPasv, kCommandDue);
    } else {
        SetFtpState(kAfterDrop, kAwaitingReply);
    }
    return true;
}

bool TFtpPeer::ReceiveToMemory() {
    TPeerUrlInfo& info = Source()->UrlInfo();
    if (!AppendMemoryBody(*data_, true)) {
        return false;
    }
    if (info.memory_done) {
        return true;
    }
    if (Content().DownloadAllowance() == 0 && State() != kConnecting) {
        return true;
    }
    if (data_->ReceiveBytes() < 0) {
        CloseData();
        if (!info.memory_body.empty() &&
            static_cast<int64_t>(info.memory_body.size()) >= info.content_length) {
            info.memory_done = true;
            SetStatus(kStatusFinished);
            return true;
        }
        return Fail(0, "file ended early");
    }
    return AppendMemoryBody(*data_, true);
}

}  // namespace kf
