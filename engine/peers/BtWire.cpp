#include "engine/peers/BtWire.h"

#include <algorithm>
#include <cstring>

#include "engine/os/ByteOrder.h"

namespace kf {

namespace {

constexpr uint8_t kUnavailableMark = 0x35;
constexpr uint32_t kUnavailableBegin = 2;
constexpr uint32_t kUnavailableLength = 14;  // id, index, begin and the 5-byte block
constexpr int32_t kWrapperPortModulus = 6881;

std::string_view AsText(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The first of the words a wrapper begins with that `text` starts to spell, or empty.
std::string_view WrapperWord(std::string_view text) {
    for (std::string_view word :
         {std::string_view("HTTP"), std::string_view("POST"), std::string_view("GET")}) {
        if (!text.empty() && text.front() == word.front()) {
            return word;
        }
    }
    return {};
}

}  // namespace

uint32_t BtWire::ReadU32(const uint8_t* bytes) {
    return LoadBe32(bytes);
}

void BtWire::WriteU32(uint8_t* out, uint32_t value) {
    StoreBe32(out, value);
}

// --- Handshake ----------------------------------------------------------------------------

BtWire::Handshake BtWire::BuildHandshake(const Hash20& info_hash, const Hash20& peer_id) {
    Handshake out{};
    out[0] = static_cast<uint8_t>(kProtocolName.size());
    std::memcpy(out.data() + 1, kProtocolName.data(), kProtocolName.size());
    std::memcpy(out.data() + kInfoHashOffset, info_hash.data(), info_hash.size());
    std::memcpy(out.data() + kPeerIdOffset, peer_id.data(), peer_id.size());
    return out;
}

bool BtWire::HasProtocolPrefix(std::span<const uint8_t> bytes) {
    return bytes.size() >= 1 + kProtocolName.size() && bytes[0] == kProtocolName.size() &&
           AsText(bytes.subspan(1, kProtocolName.size())) == kProtocolName;
}

bool BtWire::HandshakeMatches(std::span<const uint8_t> bytes, const Hash20& info_hash) {
    return bytes.size() >= kPeerIdOffset && HasProtocolPrefix(bytes) &&
           std::equal(info_hash.begin(), info_hash.end(), bytes.begin() + kInfoHashOffset);
}

BtWire::Hash20 BtWire::InfoHashOf(std::span<const uint8_t> handshake) {
    Hash20 out{};
    if (handshake.size() >= kPeerIdOffset) {
        std::memcpy(out.data(), handshake.data() + kInfoHashOffset, out.size());
    }
    return out;
}

BtWire::Hash20 BtWire::PeerIdOf(std::span<const uint8_t> handshake) {
    Hash20 out{};
    if (handshake.size() >= kHandshakeLength) {
        std::memcpy(out.data(), handshake.data() + kPeerIdOffset, out.size());
    }
    return out;
}

// --- Wrapper ------------------------------------------------------------------------------

BtWire::WrapperScan BtWire::ScanWrapper(std::span<const uint8_t> bytes) {
    const std::string_view text = AsText(bytes);
    const std::string_view word = WrapperWord(text);
    if (word.empty()) {
        return {};
    }
    if (text.size() <= word.size()) {
        // Too short to tell; a prefix of the word may still become one.
        if (word.substr(0, text.size()) == text) {
            return {Wrapper::kIncomplete, 0};
        }
        return {};
    }
    if (text.substr(0, word.size()) != word) {
        return {};
    }
    const std::string_view scanned = text.substr(0, std::min(text.size(), kMaxWrapperHeader));
    const size_t crlf = scanned.find("\r\n\r\n");
    const size_t lf = scanned.find("\n\n");
    const size_t end = std::min(crlf == std::string_view::npos ? crlf : crlf + 4,
                                lf == std::string_view::npos ? lf : lf + 2);
    if (end != std::string_view::npos) {
        return {Wrapper::kStripped, end};
    }
    if (text.size() >= kMaxWrapperHeader) {
        return {};
    }
    return {Wrapper::kIncomplete, 0};
}

std::string BtWire::BuildWrapperRequest(uint32_t ip, int32_t port, int32_t attempts) {
    uint8_t address[4];
    std::memcpy(address, &ip, sizeof(address));
    const uint32_t host = LoadLe32(address);
    std::string out = "GET / HTTP/1.0\r\n";
    if (attempts % 2 == 0) {
        out += "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
    }
    out += "Host: " + std::to_string(host) + ":" + std::to_string(port % kWrapperPortModulus) +
           "\r\n\r\n";
    return out;
}

std::string BtWire::BuildWrapperResponse(bool close, bool content_encoding_line) {
    std::string out = "HTTP/1.0 200 OK\r\nConnection: ";
    out += close ? "Close\r\n" : "Keep-Alive\r\n";
    if (content_encoding_line) {
        out += "Content-Encoding: none\r\n";
    }
    out += "\r\n";
    return out;
}

// --- Framing ------------------------------------------------------------------------------

BtWire::Parse BtWire::ParseMessage(std::span<const uint8_t> bytes, Message& message) {
    message = Message{};
    if (bytes.size() < 4) {
        return Parse::kNeedMore;
    }
    const uint32_t length = ReadU32(bytes.data());
    if (length == 0) {
        message.size = 4;
        return Parse::kMessage;
    }
    if (length > kMaxMessageLength) {
        return Parse::kFatal;
    }
    if (bytes.size() < 5) {
        return Parse::kNeedMore;
    }
    message.id = bytes[4];
    message.size = size_t{length} + 4;
    const size_t payload_length = length - 1;
    const bool whole = bytes.size() >= message.size;
    const uint8_t* payload = bytes.data() + 5;

    switch (message.id) {
        case kHave:
            if (payload_length != 4) {
                return Parse::kDiscard;
            }
            if (!whole) {
                return Parse::kNeedMore;
            }
            message.index = ReadU32(payload);
            return Parse::kMessage;
        case kRequest:
        case kCancel:
            if (payload_length != 12) {
                return Parse::kDiscard;
            }
            if (!whole) {
                return Parse::kNeedMore;
            }
            message.index = ReadU32(payload);
            message.begin = ReadU32(payload + 4);
            message.length = ReadU32(payload + 8);
            if (message.index > INT32_MAX || message.begin > INT32_MAX || message.length < 1 ||
                message.length > INT32_MAX) {
                return Parse::kDiscardQuiet;
            }
            return Parse::kMessage;
        case kPiece: {
            if (length <= 9) {
                return Parse::kDiscard;
            }
            if (bytes.size() < 13) {
                return Parse::kNeedMore;
            }
            const uint32_t block_length = length - 9;
            if (block_length > static_cast<uint32_t>(kMaxBlockLength)) {
                return Parse::kFatal;
            }
            message.index = ReadU32(payload);
            message.begin = ReadU32(payload + 4);
            message.length = block_length;
            message.buffered = std::min<size_t>(bytes.size() - 13, block_length);
            if (!whole) {
                return Parse::kPartialPiece;
            }
            message.payload = bytes.subspan(13, block_length);
            return Parse::kMessage;
        }
        default:
            // Choke, unchoke, (not) interested, bitfield and unknown ids: the whole message.
            if (!whole) {
                return Parse::kNeedMore;
            }
            message.payload = bytes.subspan(5, payload_length);
            return Parse::kMessage;
    }
}

int64_t BtWire::BlockUnavailablePiece(const Message& message) {
    if (message.id != kPiece || message.size != kUnavailableLength + 4 || message.index != 0 ||
        message.begin != kUnavailableBegin || message.payload.size() != 5 ||
        message.payload[0] != kUnavailableMark) {
        return -1;
    }
    return ReadU32(message.payload.data() + 1);
}

// --- Builders -----------------------------------------------------------------------------

std::array<uint8_t, 5> BtWire::Simple(MessageId id) {
    return {0, 0, 0, 1, id};
}

std::array<uint8_t, 9> BtWire::Have(uint32_t index) {
    std::array<uint8_t, 9> out{0, 0, 0, 5, kHave};
    WriteU32(out.data() + 5, index);
    return out;
}

std::vector<uint8_t> BtWire::Bitfield(std::span<const uint8_t> bits) {
    std::vector<uint8_t> out(5 + bits.size());
    WriteU32(out.data(), static_cast<uint32_t>(bits.size() + 1));
    out[4] = kBitfield;
    std::copy(bits.begin(), bits.end(), out.begin() + 5);
    return out;
}

namespace {

std::array<uint8_t, 17> BlockMessage(uint8_t id, uint32_t index, uint32_t begin, uint32_t length) {
    std::array<uint8_t, 17> out{0, 0, 0, 13, id};
    BtWire::WriteU32(out.data() + 5, index);
    BtWire::WriteU32(out.data() + 9, begin);
    BtWire::WriteU32(out.data() + 13, length);
    return out;
}

}  // namespace

std::array<uint8_t, 17> BtWire::Request(uint32_t index, uint32_t begin, uint32_t length) {
    return BlockMessage(kRequest, index, begin, length);
}

std::array<uint8_t, 17> BtWire::Cancel(uint32_t index, uint32_t begin, uint32_t length) {
    return BlockMessage(kCancel, index, begin, length);
}

std::array<uint8_t, 13> BtWire::PieceHeader(uint32_t index, uint32_t begin, uint32_t block_length) {
    std::array<uint8_t, 13> out{};
    WriteU32(out.data(), block_length + 9);
    out[4] = kPiece;
    WriteU32(out.data() + 5, index);
    WriteU32(out.data() + 9, begin);
    return out;
}

std::array<uint8_t, 18> BtWire::BlockUnavailable(uint32_t piece) {
    std::array<uint8_t, 18> out{};
    WriteU32(out.data(), kUnavailableLength);
    out[4] = kPiece;
    WriteU32(out.data() + 5, 0);
    WriteU32(out.data() + 9, kUnavailableBegin);
    out[13] = kUnavailableMark;
    WriteU32(out.data() + 14, piece);
    return out;
}

}  // namespace kf
