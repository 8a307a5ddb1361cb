// libFuzzer target: the BitTorrent wire codec on any bytes: the HTTP-shaped wrapper, the
// handshake checks and the message framing, read the way a peer reads its receive buffer.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/peers/BtWire.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kf::BtWire;
    std::span<const uint8_t> bytes(data, size);

    const BtWire::WrapperScan scan = BtWire::ScanWrapper(bytes);
    if (scan.result == BtWire::Wrapper::kStripped) {
        Check(scan.header_length > 0 && scan.header_length <= bytes.size() &&
              scan.header_length <= BtWire::kMaxWrapperHeader);
        // Every shorter prefix that still holds the header strips the same length.
        const BtWire::WrapperScan again = BtWire::ScanWrapper(bytes.first(scan.header_length));
        Check(again.result == BtWire::Wrapper::kStripped &&
              again.header_length == scan.header_length);
        bytes = bytes.subspan(scan.header_length);
    } else if (scan.result == BtWire::Wrapper::kIncomplete) {
        return 0;
    }

    if (bytes.size() >= BtWire::kHandshakeLength) {
        const BtWire::Hash20 info_hash = BtWire::InfoHashOf(bytes);
        Check(BtWire::HandshakeMatches(bytes, info_hash) == BtWire::HasProtocolPrefix(bytes));
        (void)BtWire::PeerIdOf(bytes);
        if (BtWire::HasProtocolPrefix(bytes)) {
            bytes = bytes.subspan(BtWire::kHandshakeLength);
        }
    }

    // Messages until the buffer needs more or the stream is given up; every step consumes.
    for (int round = 0; round < 100000 && bytes.size() >= 4; ++round) {
        BtWire::Message message;
        const BtWire::Parse result = BtWire::ParseMessage(bytes, message);
        if (result == BtWire::Parse::kPartialPiece) {
            Check(message.length >= 1 && message.length <= BtWire::kMaxBlockLength &&
                  message.buffered < message.length && 13 + message.buffered == bytes.size());
            return 0;
        }
        if (result != BtWire::Parse::kMessage) {
            return 0;
        }
        Check(message.size >= 4 && message.size <= bytes.size() &&
              message.size <= BtWire::kMaxMessageLength + 4);
        if (!message.payload.empty()) {
            Check(message.payload.data() >= bytes.data() &&
                  message.payload.data() + message.payload.size() <= bytes.data() + message.size);
        }
        if (message.id == BtWire::kPiece) {
            Check(message.payload.size() == message.length);
            (void)BtWire::BlockUnavailablePiece(message);
        }
        bytes = bytes.subspan(message.size);
    }
    return 0;
}
