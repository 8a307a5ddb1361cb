// Reads straight into the caller's memory (QSocket::ReceiveInto and the transports' scattered
// read): the parts fill in order, buffered bytes are never overtaken, and the end of the stream
// closes the connection as ReceiveBytes does.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "SingleConnectionServer.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/QSocket.h"
#include "engine/net/SocketTransport.h"

namespace kf {
namespace {

const uint32_t kLoopback = ParseDottedAddress("127.0.0.1");
const QProxyConfig kDirect;

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 13 + i / 511) & 0xFF);
    }
    return bytes;
}

struct Pair {
    Pair() {
        EXPECT_TRUE(listener.Listen(0, kLoopback));
        EXPECT_TRUE(client.ConnectTo(kLoopback, listener.LocalPort(), false, &kDirect));
        EXPECT_TRUE(test::WaitFor([&] {
            if (server == nullptr) {
                server = listener.Accept();
            }
            return server != nullptr && client.IsEstablished();
        }));
    }
    QSocket listener;
    QSocket client;
    std::unique_ptr<QSocket> server;
};

// Parts of uneven sizes (one empty) over `memory`.
std::vector<std::span<uint8_t>> Parts(std::string& memory) {
    std::vector<std::span<uint8_t>> parts;
    size_t at = 0;
    for (size_t size : {1000u, 16384u, 0u, 50000u, 7u}) {
        size = std::min(size, memory.size() - at);
        parts.emplace_back(reinterpret_cast<uint8_t*>(memory.data()) + at, size);
        at += size;
    }
    return parts;
}

TEST(QSocketReceiveInto, PartsFillInOrderWithoutTheReceiveBuffer) {
    Pair pair;
    ASSERT_NE(pair.server, nullptr);
    const std::string sent = Pattern(300000);
    // What the socket does not take at once is queued and flushed while the client reads.
    ASSERT_GE(pair.server->SendBytes(Bytes(sent)), 0);
    std::string got;
    ASSERT_TRUE(test::WaitFor([&] {
        pair.server->FlushQueue(-1);
        std::string memory(67391, '\0');
        const std::vector<std::span<uint8_t>> parts = Parts(memory);
        const int32_t read = pair.client.ReceiveInto(parts);
        if (read < 0) {
            return true;
        }
        got.append(memory, 0, static_cast<size_t>(read));
        return got.size() >= sent.size();
    }));
    EXPECT_EQ(got, sent);
    EXPECT_EQ(pair.client.ReceivedLength(), 0);
    EXPECT_EQ(pair.client.ReceivedTotal(), sent.size());
}

TEST(QSocketReceiveInto, BufferedBytesAreNeverOvertaken) {
    Pair pair;
    ASSERT_NE(pair.server, nullptr);
    ASSERT_EQ(pair.server->SendBytes(Bytes("abcdef")), 6);
    ASSERT_TRUE(test::WaitFor([&] { return pair.client.ReceiveBytes(3) != 0; }));
    ASSERT_EQ(pair.client.ReceivedLength(), 3);
    std::string memory(10, '\0');
    const std::vector<std::span<uint8_t>> parts{
        {reinterpret_cast<uint8_t*>(memory.data()), memory.size()}};
    // "abc" waits in the buffer: nothing is read past it.
    EXPECT_EQ(pair.client.ReceiveInto(parts), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pair.client.Received().data()), 3), "abc");
    pair.client.Consume(-1);
    int32_t read = 0;
    ASSERT_TRUE(test::WaitFor([&] { return (read = pair.client.ReceiveInto(parts)) != 0; }));
    EXPECT_EQ(read, 3);
    EXPECT_EQ(memory.substr(0, 3), "def");
}

TEST(QSocketReceiveInto, TheRemoteCloseEndsTheConnectionAfterItsLastBytes) {
    Pair pair;
    ASSERT_NE(pair.server, nullptr);
    ASSERT_EQ(pair.server->SendBytes(Bytes("0123456789")), 10);
    pair.server->Close();
    std::string memory(64, '\0');
    const std::vector<std::span<uint8_t>> parts{
        {reinterpret_cast<uint8_t*>(memory.data()), 4},
        {reinterpret_cast<uint8_t*>(memory.data()) + 4, 60}};
    std::string got;
    int32_t last = 0;
    ASSERT_TRUE(test::WaitFor([&] {
        last = pair.client.ReceiveInto(parts);
        if (last > 0) {
            got.append(memory, 0, static_cast<size_t>(last));
        }
        return last < 0;
    }));
    EXPECT_EQ(got, "0123456789");
    EXPECT_FALSE(pair.client.IsOpen());
    EXPECT_EQ(pair.client.ReceiveInto(parts), -1);
}

// A transport that answers reads from a script of chunks (the base class's scattered read is
// built on Receive).
class ChunkTransport : public SocketTransport {
  public:
    std::vector<std::string> chunks;  // each Receive takes at most the next chunk; "" = closed
    int32_t receives = 0;

    bool IsTunnel() const override { return true; }
    Result Open() override { return Result::Success(0); }
    Result Bind(int32_t, const SocketAddress&) override { return Result::Success(0); }
    Result Listen(int32_t, int32_t) override { return Result::Success(0); }
    Result Connect(int32_t, const SocketAddress&) override { return Result::Success(0); }
    Result Accept(int32_t, SocketAddress&) override { return Result::Failure(kErrFailed); }
    Result Send(int32_t, std::span<const uint8_t> b) override {
        return Result::Success(static_cast<int64_t>(b.size()));
    }
    Result Receive(int32_t, std::span<uint8_t> bytes) override {
        ++receives;
        if (chunks.empty()) {
            return Result::Failure(kErrWouldBlock);
        }
        std::string& next = chunks.front();
        if (next.empty()) {
            return Result::Success(0);
        }
        const size_t n = std::min(next.size(), bytes.size());
        std::copy(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(n), bytes.begin());
        next.erase(0, n);
        if (next.empty()) {
            chunks.erase(chunks.begin());
        }
        return Result::Success(static_cast<int64_t>(n));
    }
    Result LocalName(int32_t, SocketAddress&) override { return Result::Success(0); }
    int32_t Wait(int32_t, WaitFor, int32_t) override { return 1; }
    PollTarget PollFor(int32_t, bool) override { return {}; }
    int32_t PendingError(int32_t) override { return 0; }
    bool SetReceiveBuffer(int32_t, int32_t) override { return false; }
    void Close(int32_t) override {}
};

TEST(SocketTransportVector, DefaultFillsPartsUntilAShortRead) {
    ChunkTransport transport;
    transport.chunks = {"hello", "world!!", "tail"};
    std::string memory(20, '.');
    auto part = [&](size_t at, size_t n) {
        return std::span<uint8_t>(reinterpret_cast<uint8_t*>(memory.data()) + at, n);
    };
    const std::vector<std::span<uint8_t>> parts{part(0, 5), part(5, 0), part(5, 10), part(15, 5)};
    // "hello" fills the first part; "world!!" is short for the third: the read stops there.
    SocketTransport::Result read = transport.ReceiveVector(0, parts);
    ASSERT_TRUE(read.Ok());
    EXPECT_EQ(read.value, 12);
    EXPECT_EQ(memory.substr(0, 12), "helloworld!!");
    EXPECT_EQ(transport.receives, 2);

    // The close after some bytes: those bytes first, then the close on the next call.
    transport.chunks = {"ab", ""};
    read = transport.ReceiveVector(0, std::vector{part(0, 2), part(2, 5)});
    ASSERT_TRUE(read.Ok());
    EXPECT_EQ(read.value, 2);
    read = transport.ReceiveVector(0, std::vector{part(0, 2)});
    ASSERT_TRUE(read.Ok());
    EXPECT_EQ(read.value, 0);

    // Nothing to read, and nothing to read into: would block.
    transport.chunks.clear();
    EXPECT_TRUE(transport.ReceiveVector(0, std::vector{part(0, 2)}).WouldBlock());
    transport.chunks = {"x"};
    EXPECT_TRUE(transport.ReceiveVector(0, std::vector{part(0, 0)}).WouldBlock());
}

}  // namespace
}  // namespace kf
