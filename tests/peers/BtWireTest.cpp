#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/peers/BtWire.h"
#include "support/WireBytes.h"

namespace kf {
namespace {

using Parse = BtWire::Parse;
using test::Bytes;
using test::Cat;
using test::Of;

Bytes Frame(uint32_t length, std::initializer_list<uint8_t> rest) {
    Bytes out(4);
    BtWire::WriteU32(out.data(), length);
    out.insert(out.end(), rest);
    return out;
}

BtWire::Hash20 Filled(uint8_t value) {
    BtWire::Hash20 out;
    out.fill(value);
    return out;
}

TEST(BtWireTest, HandshakeLayoutAndChecks) {
    const auto handshake = BtWire::BuildHandshake(Filled(0xAA), Filled(0x42));
    ASSERT_EQ(handshake.size(), 68u);
    EXPECT_EQ(handshake[0], 19);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&handshake[1]), 19), "BitTorrent protocol");
    for (size_t i = 20; i < 28; ++i) {
        EXPECT_EQ(handshake[i], 0) << i;  // no extension bits
    }
    EXPECT_TRUE(BtWire::HandshakeMatches(handshake, Filled(0xAA)));
    EXPECT_FALSE(BtWire::HandshakeMatches(handshake, Filled(0xAB)));
    EXPECT_EQ(BtWire::PeerIdOf(handshake), Filled(0x42));
    EXPECT_EQ(BtWire::InfoHashOf(handshake), Filled(0xAA));

    // The check works on the first 48 bytes of a raw buffer; fewer never match.
    const std::span<const uint8_t> raw(handshake);
    EXPECT_TRUE(BtWire::HandshakeMatches(raw.first(48), Filled(0xAA)));
    EXPECT_FALSE(BtWire::HandshakeMatches(raw.first(47), Filled(0xAA)));
    auto other_protocol = handshake;
    other_protocol[5] = 'x';
    EXPECT_FALSE(BtWire::HandshakeMatches(other_protocol, Filled(0xAA)));
    auto other_length = handshake;
    other_length[0] = 18;
    EXPECT_FALSE(BtWire::HandshakeMatches(other_length, Filled(0xAA)));
}

TEST(BtWireTest, WrapperIsStrippedOnlyWhenItsHeaderEnded) {
    const Bytes handshake = Of(BtWire::BuildHandshake(Filled(1), Filled(2)));
    for (std::string head : {"GET / HTTP/1.0\r\n\r\n", "POST /x HTTP/1.1\r\nHost: a\r\n\r\n",
                             "HTTP/1.0 200 OK\nConnection: Close\n\n"}) {
        const Bytes bytes = Cat({Of(head), handshake});
        // Every cut before the header's end waits; from the end on it strips exactly the head.
        for (size_t cut = 1; cut <= bytes.size(); ++cut) {
            const auto scan = BtWire::ScanWrapper(std::span(bytes).first(cut));
            if (cut < head.size()) {
                ASSERT_EQ(scan.result, BtWire::Wrapper::kIncomplete) << head << " cut " << cut;
            } else {
                ASSERT_EQ(scan.result, BtWire::Wrapper::kStripped) << head << " cut " << cut;
                ASSERT_EQ(scan.header_length, head.size());
            }
        }
    }
    // The earlier of the two endings counts, whichever form it has.
    const Bytes mixed = Of("GET / HTTP/1.0\n\nrest\r\n\r\n");
    EXPECT_EQ(BtWire::ScanWrapper(mixed).header_length, 16u);

    // A handshake, another word, or a header that never ends is not a wrapper.
    EXPECT_EQ(BtWire::ScanWrapper(handshake).result, BtWire::Wrapper::kNotWrapper);
    EXPECT_EQ(BtWire::ScanWrapper(Of("GXT / HTTP/1.0\r\n\r\n")).result,
              BtWire::Wrapper::kNotWrapper);
    EXPECT_EQ(BtWire::ScanWrapper(Of("Hx")).result, BtWire::Wrapper::kNotWrapper);
    EXPECT_EQ(BtWire::ScanWrapper(Of("HT")).result, BtWire::Wrapper::kIncomplete);
    EXPECT_EQ(BtWire::ScanWrapper({}).result, BtWire::Wrapper::kNotWrapper);
    Bytes endless = Of("GET /");
    endless.resize(BtWire::kMaxWrapperHeader + 10, 'a');
    EXPECT_EQ(BtWire::ScanWrapper(endless).result, BtWire::Wrapper::kNotWrapper);
}

TEST(BtWireTest, WrapperTexts) {
    // 10.0.0.1 in network order: the Host number reads the address bytes little-endian.
    uint32_t ip = 0;
    const uint8_t address[4] = {10, 0, 0, 1};
    std::memcpy(&ip, address, 4);
    EXPECT_EQ(BtWire::BuildWrapperRequest(ip, 6882, 1),
              "GET / HTTP/1.0\r\nHost: 16777226:1\r\n\r\n");
    EXPECT_EQ(BtWire::BuildWrapperRequest(ip, 80, 2),
              "GET / HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
              "Host: 16777226:80\r\n\r\n");
    EXPECT_EQ(BtWire::BuildWrapperResponse(true, false),
              "HTTP/1.0 200 OK\r\nConnection: Close\r\n\r\n");
    EXPECT_EQ(BtWire::BuildWrapperResponse(false, true),
              "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Encoding: none\r\n\r\n");
    // What one side sends, the other strips whole.
    for (const std::string& text :
         {BtWire::BuildWrapperRequest(ip, 1, 0), BtWire::BuildWrapperResponse(false, true)}) {
        const auto scan = BtWire::ScanWrapper(Of(text));
        EXPECT_EQ(scan.result, BtWire::Wrapper::kStripped);
        EXPECT_EQ(scan.header_length, text.size());
    }
}

TEST(BtWireTest, BuildersRoundTripThroughTheParser) {
    BtWire::Message message;
    const Bytes request = Of(BtWire::Request(3, 16384, 100));
    ASSERT_EQ(request.size(), 17u);
    ASSERT_EQ(BtWire::ParseMessage(request, message), Parse::kMessage);
    EXPECT_EQ(message.id, BtWire::kRequest);
    EXPECT_EQ(message.size, 17u);
    EXPECT_EQ(message.index, 3u);
    EXPECT_EQ(message.begin, 16384u);
    EXPECT_EQ(message.length, 100u);

    ASSERT_EQ(BtWire::ParseMessage(Of(BtWire::Cancel(1, 2, 3)), message), Parse::kMessage);
    EXPECT_EQ(message.id, BtWire::kCancel);

    ASSERT_EQ(BtWire::ParseMessage(Of(BtWire::Have(0x01020304)), message), Parse::kMessage);
    EXPECT_EQ(message.id, BtWire::kHave);
    EXPECT_EQ(message.index, 0x01020304u);

    const Bytes bits = {0xF0, 0x01};
    const Bytes bitfield = BtWire::Bitfield(bits);
    ASSERT_EQ(BtWire::ParseMessage(bitfield, message), Parse::kMessage);
    EXPECT_EQ(message.id, BtWire::kBitfield);
    EXPECT_EQ(Bytes(message.payload.begin(), message.payload.end()), bits);

    const Bytes block(300, 0x5A);
    const Bytes piece = Cat({Of(BtWire::PieceHeader(7, 32768, 300)), block});
    ASSERT_EQ(BtWire::ParseMessage(piece, message), Parse::kMessage);
    EXPECT_EQ(message.id, BtWire::kPiece);
    EXPECT_EQ(message.index, 7u);
    EXPECT_EQ(message.begin, 32768u);
    EXPECT_EQ(message.length, 300u);
    EXPECT_EQ(message.size, piece.size());
    EXPECT_EQ(Bytes(message.payload.begin(), message.payload.end()), block);
    EXPECT_EQ(BtWire::BlockUnavailablePiece(message), -1);

    // A piece still arriving reports its header and how much of the block is here.
    ASSERT_EQ(BtWire::ParseMessage(std::span(piece).first(13 + 120), message),
              Parse::kPartialPiece);
    EXPECT_EQ(message.index, 7u);
    EXPECT_EQ(message.length, 300u);
    EXPECT_EQ(message.buffered, 120u);
    EXPECT_TRUE(message.payload.empty());
    EXPECT_EQ(BtWire::ParseMessage(std::span(piece).first(12), message), Parse::kNeedMore);

    const Bytes notice = Of(BtWire::BlockUnavailable(77));
    EXPECT_EQ(notice, Cat({Frame(14, {7, 0, 0, 0, 0, 0, 0, 0, 2, 0x35, 0, 0, 0, 77})}));
    ASSERT_EQ(BtWire::ParseMessage(notice, message), Parse::kMessage);
    EXPECT_EQ(BtWire::BlockUnavailablePiece(message), 77);

    EXPECT_EQ(Of(BtWire::kInterestedUnchoke), (Bytes{0, 0, 0, 1, 2, 0, 0, 0, 1, 1}));
    ASSERT_EQ(BtWire::ParseMessage(Of(BtWire::Simple(BtWire::kChoke)), message), Parse::kMessage);
    EXPECT_EQ(message.id, BtWire::kChoke);
    EXPECT_EQ(message.size, 5u);
}

TEST(BtWireTest, FramingLimitsAndErrorClasses) {
    BtWire::Message message;
    EXPECT_EQ(BtWire::ParseMessage(Frame(0, {}), message), Parse::kMessage);  // keep-alive
    EXPECT_EQ(message.id, BtWire::kKeepAlive);
    EXPECT_EQ(message.size, 4u);
    EXPECT_EQ(BtWire::ParseMessage(Bytes{0, 0, 0}, message), Parse::kNeedMore);
    EXPECT_EQ(BtWire::ParseMessage(Frame(1, {}), message), Parse::kNeedMore);

    // Length limits: 524288 may still come, 524289 and "negative" lengths drop.
    EXPECT_EQ(BtWire::ParseMessage(Frame(524288, {BtWire::kBitfield}), message), Parse::kNeedMore);
    EXPECT_EQ(BtWire::ParseMessage(Frame(524289, {BtWire::kBitfield}), message), Parse::kFatal);
    EXPECT_EQ(BtWire::ParseMessage(Frame(0x80000000u, {}), message), Parse::kFatal);

    // Wrong payload sizes are protocol errors as soon as the header shows them.
    EXPECT_EQ(BtWire::ParseMessage(Frame(6, {BtWire::kHave, 0, 0, 0, 1, 9}), message),
              Parse::kDiscard);
    EXPECT_EQ(BtWire::ParseMessage(Frame(12, {BtWire::kRequest}), message), Parse::kDiscard);
    EXPECT_EQ(BtWire::ParseMessage(Frame(14, {BtWire::kCancel}), message), Parse::kDiscard);
    EXPECT_EQ(BtWire::ParseMessage(Frame(9, {BtWire::kPiece}), message), Parse::kDiscard);

    // Request fields that no piece could have: discarded without counting an error.
    EXPECT_EQ(BtWire::ParseMessage(Of(BtWire::Request(0x80000000u, 0, 1)), message),
              Parse::kDiscardQuiet);
    EXPECT_EQ(BtWire::ParseMessage(Of(BtWire::Request(0, 0x80000000u, 1)), message),
              Parse::kDiscardQuiet);
    EXPECT_EQ(BtWire::ParseMessage(Of(BtWire::Cancel(0, 0, 0)), message), Parse::kDiscardQuiet);

    // Blocks: 131072 bytes is the largest accepted, checked before the block arrives.
    EXPECT_EQ(BtWire::ParseMessage(Of(BtWire::PieceHeader(0, 0, 131072)), message),
              Parse::kPartialPiece);
    EXPECT_EQ(BtWire::ParseMessage(Of(BtWire::PieceHeader(0, 0, 131073)), message), Parse::kFatal);

    // Unknown ids are skipped whole, once all of them is here.
    const Bytes unknown = Frame(3, {20, 1, 2});
    EXPECT_EQ(BtWire::ParseMessage(std::span(unknown).first(6), message), Parse::kNeedMore);
    ASSERT_EQ(BtWire::ParseMessage(unknown, message), Parse::kMessage);
    EXPECT_EQ(message.id, 20);
    EXPECT_EQ(message.size, 7u);
}

}  // namespace
}  // namespace kf
