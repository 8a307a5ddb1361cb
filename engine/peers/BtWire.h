#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kf {

// The BitTorrent peer wire format without sockets: the 68-byte handshake, the HTTP-shaped wrapper
// that may hide the start of a connection, the framing of length-prefixed messages and builders
// for every message the engine sends. Stateless; every function is safe on any thread.
//
// Trust: received bytes are untrusted. The parser never reads past the span it is given, bounds
// every length before using it and tells its caller how to react (wait, discard, drop).
class BtWire {
  public:
    using Hash20 = std::array<uint8_t, 20>;
    using Handshake = std::array<uint8_t, 68>;

    static constexpr size_t kHandshakeLength = 68;
    static constexpr std::string_view kProtocolName = "BitTorrent protocol";
    static constexpr size_t kInfoHashOffset = 28;
    static constexpr size_t kPeerIdOffset = 48;
    // Framing limits: a longer message drops the connection, and so does a longer piece block.
    static constexpr uint32_t kMaxMessageLength = 524288;
    static constexpr int32_t kMaxBlockLength = 131072;
    // A wrapper header longer than this is not one (a handshake follows a short header).
    static constexpr size_t kMaxWrapperHeader = 4096;

    enum MessageId : uint8_t {
        kChoke = 0,
        kUnchoke = 1,
        kInterested = 2,
        kNotInterested = 3,
        kHave = 4,
        kBitfield = 5,
        kRequest = 6,
        kPiece = 7,
        kCancel = 8,
    };
    // A keep-alive has no id byte; the parser reports it with this id.
    static constexpr uint8_t kKeepAlive = 0xFF;

    // --- Handshake ------------------------------------------------------------------------
    static Handshake BuildHandshake(const Hash20& info_hash, const Hash20& peer_id);
    // The bytes begin with 19, the protocol name and `info_hash` at offset 28 (48 bytes are
    // enough; fewer never match).
    static bool HandshakeMatches(std::span<const uint8_t> bytes, const Hash20& info_hash);
    // The bytes begin with 19 and the protocol name (20 bytes needed).
    static bool HasProtocolPrefix(std::span<const uint8_t> bytes);
    // The info-hash at offset 28 (the caller checks that 48 bytes are there).
    static Hash20 InfoHashOf(std::span<const uint8_t> handshake);
    // The peer id at offset 48 (the caller checks that 68 bytes are there).
    static Hash20 PeerIdOf(std::span<const uint8_t> handshake);

    // --- HTTP-shaped wrapper --------------------------------------------------------------
    enum class Wrapper {
        kNotWrapper,  // the bytes do not begin a wrapper: read them as a handshake
        kIncomplete,  // a wrapper has begun but its header has not ended yet: wait
        kStripped,    // a whole header: `header_length` bytes go before the handshake
    };
    struct WrapperScan {
        Wrapper result = Wrapper::kNotWrapper;
        size_t header_length = 0;
    };
    // Looks for a header beginning with "HTTP", "POST" or "GET" and ending with an empty line
    // (CR LF CR LF, or LF LF). Bytes that begin with another word, or a header that has not ended
    // within kMaxWrapperHeader bytes, are not a wrapper (the handshake check then refuses them).
    static WrapperScan ScanWrapper(std::span<const uint8_t> bytes);
    // The request an outgoing connection may send before its handshake. `ip` is in network order;
    // the Host line carries its four bytes read as a little-endian number and the port modulo
    // 6881; the User-Agent line only when `attempts` is even.
    static std::string BuildWrapperRequest(uint32_t ip, int32_t port, int32_t attempts);
    // The answer to a wrapped incoming connection: "Connection: Close" or "Keep-Alive", and a
    // "Content-Encoding: none" line when asked.
    static std::string BuildWrapperResponse(bool close, bool content_encoding_line);

    // --- Message framing ------------------------------------------------------------------
    enum class Parse {
        kMessage,       // one whole message at the front: `message` describes it
        kNeedMore,      // wait for more bytes
        kPartialPiece,  // a piece whose header is here but whose block is still arriving
        kDiscard,       // protocol error: discard every buffered byte and count an error
        kDiscardQuiet,  // unusable request or cancel fields: discard the buffer, no error
        kFatal,         // the length prefix or block length is impossible: drop the connection
    };
    struct Message {
        uint8_t id = kKeepAlive;
        size_t size = 0;      // bytes of the whole message, length prefix included
        uint32_t index = 0;   // have, request, piece, cancel
        uint32_t begin = 0;   // request, piece, cancel
        uint32_t length = 0;  // request and cancel: the block length; piece: the block length
        size_t buffered = 0;  // piece: block bytes already buffered
        std::span<const uint8_t> payload;  // bitfield bits, piece block (whole messages only)
    };
    // Parses the message at the front of `bytes` (unknown ids are whole messages to skip).
    static Parse ParseMessage(std::span<const uint8_t> bytes, Message& message);
    // The piece message carries the engine's BlockUnavailable notice: answers the piece it names,
    // or -1.
    static int64_t BlockUnavailablePiece(const Message& message);

    // --- Messages sent --------------------------------------------------------------------
    static std::array<uint8_t, 5> Simple(MessageId id);  // choke, unchoke, interested
    static std::array<uint8_t, 9> Have(uint32_t index);
    static std::vector<uint8_t> Bitfield(std::span<const uint8_t> bits);
    static std::array<uint8_t, 17> Request(uint32_t index, uint32_t begin, uint32_t length);
    static std::array<uint8_t, 17> Cancel(uint32_t index, uint32_t begin, uint32_t length);
    // The 13 bytes before a block of `block_length` bytes.
    static std::array<uint8_t, 13> PieceHeader(uint32_t index, uint32_t begin,
                                               uint32_t block_length);
    // A piece message of length 14 (index 0, begin 2) whose 5-byte block is 0x35 and the
    // unavailable piece's index.
    static std::array<uint8_t, 18> BlockUnavailable(uint32_t piece);
    // interested and unchoke together, sent once after the handshake.
    static constexpr std::array<uint8_t, 10> kInterestedUnchoke = {0, 0, 0, 1, kInterested,
                                                                   0, 0, 0, 1, kUnchoke};

    static uint32_t ReadU32(const uint8_t* bytes);
    static void WriteU32(uint8_t* out, uint32_t value);
};

}  // namespace kf
