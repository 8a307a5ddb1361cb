#include "engine/net/QSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "SingleConnectionServer.h"
#include "engine/net/Ipv4Address.h"

namespace kf {
namespace {

const uint32_t kLoopback = ParseDottedAddress("127.0.0.1");
const QProxyConfig kDirect;  // no proxy, whatever the engine-wide settings say

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string ReceivedString(const QSocket& socket) {
    const std::span<const uint8_t> bytes = socket.Received();
    return std::string(bytes.begin(), bytes.end());
}

uint8_t PatternByte(uint64_t offset) {
    return static_cast<uint8_t>((offset ^ (offset >> 9)) * 31u + 7u);
}

// A connected pair over loopback: a listener on 127.0.0.1 with a system-chosen port, the client
// that connected to it and the accepted server side.
struct LoopbackPair {
    explicit LoopbackPair(std::shared_ptr<BufferPool> pool = SocketBufferPool())
        : listener(pool), client(pool) {
        EXPECT_TRUE(listener.Listen(0, kLoopback));
        EXPECT_NE(listener.LocalPort(), 0);
        EXPECT_TRUE(client.ConnectTo(kLoopback, listener.LocalPort(), false, &kDirect));
        EXPECT_TRUE(test::WaitFor([&] {
            if (server == nullptr) {
                server = listener.Accept();
            }
            return server != nullptr && client.IsEstablished();
        }));
    }
    bool Ready() const { return server != nullptr && client.IsOpen(); }

    QSocket listener;
    QSocket client;
    std::unique_ptr<QSocket> server;
};

// Receives on `socket` until `count` bytes are buffered (or an error, or ten seconds).
bool ReceiveAtLeast(QSocket& socket, int32_t count, int32_t wanted = 0) {
    return test::WaitFor([&] {
               if (socket.ReceivedLength() >= count) {
                   return true;
               }
               return socket.ReceiveBytes(wanted) < 0;
           }) &&
           socket.ReceivedLength() >= count;
}

TEST(QSocket, ConnectAcceptAndDescribeBothEnds) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.Ready());
    QSocket& client = pair.client;
    QSocket& server = *pair.server;
    EXPECT_TRUE(pair.listener.IsListening());
    EXPECT_FALSE(pair.listener.IsEstablished());

    EXPECT_EQ(client.RemoteIp(), kLoopback);
    EXPECT_EQ(client.RemotePort(), pair.listener.LocalPort());
    EXPECT_EQ(client.LocalIp(), kLoopback);
    EXPECT_EQ(server.RemotePort(), client.LocalPort());
    EXPECT_EQ(server.LocalPort(), pair.listener.LocalPort());
    EXPECT_EQ(server.HostText(), "127.0.0.1");
    EXPECT_TRUE(server.IsEstablished());
    EXPECT_TRUE(server.ProxyDone());
    EXPECT_TRUE(client.ProxyDone());
    EXPECT_GT(client.EstablishedTime(), 0);
    EXPECT_GT(client.ConnectTime(), 0);
    EXPECT_GT(server.EstablishedTime(), 0);
    const QSocket::Identity identity{0, 0, 0, 0, 0, 0, 0, 0, 'U', 'D', 'P', 0, 0};
    EXPECT_EQ(client.GetIdentity(), identity);
    EXPECT_EQ(server.GetIdentity(), identity);
    EXPECT_FALSE(client.UsesUdpTransport());
    EXPECT_TRUE(client.SetReceiveBuffer(0));
    // Nobody else is waiting.
    EXPECT_EQ(pair.listener.Accept(), nullptr);
    EXPECT_TRUE(pair.listener.IsOpen());
}

TEST(QSocket, RefusesBadTargetsAndClosedUse) {
    QSocket socket;
    EXPECT_FALSE(socket.ConnectTo(0, 80, false, &kDirect));
    EXPECT_FALSE(socket.ConnectTo(kNoAddress, 80, false, &kDirect));
    EXPECT_FALSE(socket.ConnectTo(kLoopback, 0, false, &kDirect));
    EXPECT_FALSE(socket.ConnectTo(kLoopback, 65536, false, &kDirect));
    EXPECT_FALSE(socket.ConnectByName("", 80, false, &kDirect));
    EXPECT_FALSE(socket.Listen(65536, kLoopback));
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.SendBytes(Bytes("x")), 0);
    EXPECT_EQ(socket.ReceiveBytes(), -1);
    EXPECT_EQ(socket.FlushQueue(), -1);
    EXPECT_FALSE(socket.IsEstablished());
    EXPECT_FALSE(socket.WaitReadable(0));
    EXPECT_EQ(socket.Accept(), nullptr);
    EXPECT_FALSE(socket.SetReceiveBuffer(8192));
    socket.Consume(-1);
    EXPECT_EQ(std::string(socket.ReceivedText()), "");
}

TEST(QSocket, TunnelledTransportIsRefusedUntilOneIsRegistered) {
    ASSERT_EQ(TunnelTransport(), nullptr);
    const QSocket::NodeId node{1, 2, 3, 4, 5, 6, 7, 8};
    QSocket socket;
    EXPECT_FALSE(socket.ConnectTo(kLoopback, 80, false, &kDirect, 0, &node));
    EXPECT_FALSE(socket.Listen(0, kLoopback, &node));
    EXPECT_FALSE(socket.IsOpen());
}

TEST(QSocket, ExchangeCountsBytesAndKeepsANulAfterThem) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.Ready());
    EXPECT_EQ(pair.client.SendBytes(Bytes("hello")), 5);
    EXPECT_EQ(pair.client.QueuedLength(), 0);
    ASSERT_TRUE(ReceiveAtLeast(*pair.server, 5));
    EXPECT_STREQ(pair.server->ReceivedText(), "hello");
    EXPECT_EQ(pair.client.SentTotal(), 5u);
    EXPECT_EQ(pair.server->ReceivedTotal(), 5u);
    pair.server->Consume(2);
    EXPECT_STREQ(pair.server->ReceivedText(), "llo");

    EXPECT_EQ(pair.server->SendBytes("reply", 5), 5);
    ASSERT_TRUE(ReceiveAtLeast(pair.client, 5));
    EXPECT_EQ(ReceivedString(pair.client), "reply");
}

TEST(QSocket, SendBeforeCompletionIsQueuedAndFlushedInOrder) {
    // A listener with a full accept queue leaves further connects in progress until it makes room.
    test::SingleConnectionServer busy(nullptr, /*backlog=*/0, /*accept=*/false);
    QSocket filler;
    ASSERT_TRUE(filler.ConnectTo(kLoopback, busy.Port(), false, &kDirect));
    ASSERT_TRUE(test::WaitFor([&] { return filler.IsEstablished(); }));
    ASSERT_TRUE(busy.WaitAcceptable());

    QSocket client;
    ASSERT_TRUE(client.ConnectTo(kLoopback, busy.Port(), false, &kDirect));
    ASSERT_FALSE(client.IsEstablished());
    EXPECT_EQ(client.SendBytes(Bytes("first ")), 0);
    EXPECT_EQ(client.SendBytes(Bytes("second")), 0);
    EXPECT_EQ(client.QueuedLength(), 12);
    EXPECT_EQ(client.FlushQueue(), 0);
    EXPECT_EQ(client.ReceiveBytes(), 0);
    EXPECT_EQ(client.SentTotal(), 0u);

    test::ScriptConnection filler_side = busy.AcceptPending();
    ASSERT_TRUE(test::WaitFor([&] { return client.IsEstablished(); }, 20000));
    EXPECT_EQ(client.FlushQueue(), 12);
    EXPECT_EQ(client.QueuedLength(), 0);
    ASSERT_TRUE(busy.WaitAcceptable());
    test::ScriptConnection client_side = busy.AcceptPending();
    EXPECT_TRUE(client_side.Expect("first second"));
}

TEST(QSocket, PartialWritesUnderAFullSocketKeepOrder) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.Ready());
    // A fixed receive window keeps the kernel from absorbing everything we write.
    ASSERT_TRUE(pair.server->SetReceiveBuffer(65536));
    constexpr uint64_t kTotal = 8 * 1024 * 1024;
    std::mt19937 random(12345);
    std::vector<uint8_t> chunk;
    uint64_t submitted = 0;
    uint64_t checked = 0;
    bool saw_queue = false;
    bool order_kept = true;
    bool finished = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int step = 0; step < 5000000 && !finished && std::chrono::steady_clock::now() < deadline;
         ++step) {
        if (submitted < kTotal) {
            const size_t length = std::min<uint64_t>(1 + random() % 70000, kTotal - submitted);
            chunk.resize(length);
            for (size_t i = 0; i < length; ++i) {
                chunk[i] = PatternByte(submitted + i);
            }
            const int32_t written = pair.client.SendBytes(chunk);
            ASSERT_GE(written, 0);
            ASSERT_LE(written, static_cast<int32_t>(length));  // never more than asked
            submitted += length;
            saw_queue = saw_queue || pair.client.QueuedLength() > 0;
        } else {
            ASSERT_GE(pair.client.FlushQueue(static_cast<int32_t>(1 + random() % 100000)), 0);
        }
        // The reader starts late and then keeps up only now and then, so the writer meets a
        // full socket with its queue holding data.
        if ((submitted >= kTotal / 2 && random() % 2 == 0) || submitted == kTotal) {
            ASSERT_GE(pair.server->ReceiveBytes(), 0);
            const std::span<const uint8_t> got = pair.server->Received();
            for (size_t i = 0; i < got.size() && order_kept; ++i) {
                order_kept = got[i] == PatternByte(checked + i);
            }
            checked += got.size();
            pair.server->Consume(-1);
        }
        finished = !order_kept || checked == kTotal;
    }
    EXPECT_TRUE(finished);
    EXPECT_TRUE(order_kept) << "first wrong byte near offset " << checked;
    EXPECT_TRUE(saw_queue);
    EXPECT_EQ(pair.client.SentTotal(), kTotal);
    EXPECT_EQ(pair.server->ReceivedTotal(), kTotal);
}

TEST(QSocket, ReceiveGrowsThenConsumeShrinksByTheWasteRule) {
    auto pool = BufferPool::Create();
    LoopbackPair pair(pool);
    ASSERT_TRUE(pair.Ready());
    QSocket& client = pair.client;

    EXPECT_EQ(client.ReceiveBytes(), 0);  // nothing yet: room for 43008 + 2048
    EXPECT_EQ(client.ReceiveCapacity(), 45056);
    std::string payload(40000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(PatternByte(i));
    }
    ASSERT_EQ(pair.server->SendBytes(Bytes(payload)), 40000);
    ASSERT_TRUE(test::WaitFor(
        [&] { return client.ReceiveBytes(40000 - client.ReceivedLength()) == 40000; }));
    EXPECT_EQ(client.ReceiveCapacity(), 45056);
    EXPECT_EQ(client.ReceivedText()[40000], '\0');

    // 30000 left of 45056: little waste, the bytes only move to the front.
    client.Consume(10000);
    EXPECT_EQ(client.ReceiveCapacity(), 45056);
    EXPECT_EQ(ReceivedString(client), payload.substr(10000));
    // 100 left: six times the room it needs, so a 1024-byte buffer takes over.
    client.Consume(29900);
    EXPECT_EQ(client.ReceiveCapacity(), 1024);
    EXPECT_EQ(ReceivedString(client), payload.substr(39900));
    EXPECT_EQ(client.ReceivedText()[100], '\0');
    // With the keep flag nothing is replaced.
    client.Consume(50, true);
    EXPECT_EQ(client.ReceiveCapacity(), 1024);
    EXPECT_EQ(ReceivedString(client), payload.substr(39950));
    // Empty: the buffer goes back to the pool.
    const size_t free_before = pool->FreeCount();
    client.Consume(-1);
    EXPECT_EQ(client.ReceiveCapacity(), 0);
    EXPECT_EQ(client.ReceivedLength(), 0);
    EXPECT_EQ(pool->FreeCount(), free_before + 1);
}

TEST(QSocket, HugeBufferWithModerateContentIsCutToTenPercentSlack) {
    auto pool = BufferPool::Create();
    LoopbackPair pair(pool);
    ASSERT_TRUE(pair.Ready());
    QSocket& client = pair.client;
    EXPECT_EQ(client.ReceiveBytes(2600000), 0);
    ASSERT_EQ(client.ReceiveCapacity(), 2602048);
    const std::string payload(500000, 'z');
    pair.server->SendBytes(Bytes(payload));
    ASSERT_TRUE(test::WaitFor([&] {
        EXPECT_GE(pair.server->FlushQueue(), 0);
        return client.ReceiveBytes(500000 - client.ReceivedLength()) == 500000;
    }));
    // 450000 left in 2602048: under six times, but more than 2101248 bytes wasted.
    client.Consume(50000);
    EXPECT_EQ(client.ReceiveCapacity(), 495000);
    EXPECT_EQ(client.ReceivedLength(), 450000);
    EXPECT_EQ(ReceivedString(client), payload.substr(50000));
    // A fast peer keeps its buffers.
    client.SetKeepBuffers(true);
    client.Consume(449000);
    EXPECT_EQ(client.ReceiveCapacity(), 495000);
}

TEST(QSocket, RemoteCloseEndsTheConnectionAfterItsLastBytes) {
    auto pool = BufferPool::Create();
    LoopbackPair pair(pool);
    ASSERT_TRUE(pair.Ready());
    EXPECT_EQ(pair.server->SendBytes(Bytes("bye")), 3);
    pair.server->Close();
    EXPECT_FALSE(pair.server->IsOpen());
    ASSERT_TRUE(ReceiveAtLeast(pair.client, 3));
    EXPECT_EQ(ReceivedString(pair.client), "bye");
    ASSERT_TRUE(test::WaitFor([&] { return pair.client.ReceiveBytes() == -1; }));
    EXPECT_FALSE(pair.client.IsOpen());
    EXPECT_FALSE(pair.client.IsEstablished());
    EXPECT_EQ(pair.client.ReceivedLength(), 0);
    EXPECT_EQ(pair.client.SentTotal(), 0u);
    pair.listener.Close();
    EXPECT_EQ(pool->InUseCount(), 0u);
}

TEST(QSocket, RefusedConnectClosesTheObject) {
    QSocket probe;
    ASSERT_TRUE(probe.Listen(0, kLoopback));
    const int32_t port = probe.LocalPort();
    probe.Close();

    QSocket blocking;
    EXPECT_FALSE(blocking.ConnectTo(kLoopback, port, true, &kDirect));
    EXPECT_FALSE(blocking.IsOpen());

    QSocket client;
    if (client.ConnectTo(kLoopback, port, false, &kDirect)) {
        ASSERT_TRUE(test::WaitFor([&] { return !client.IsEstablished() && !client.IsOpen(); }));
    }
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.SendBytes(Bytes("x")), 0);
}

TEST(QSocket, BlockingConnectIsCompleteOnReturn) {
    QSocket listener;
    ASSERT_TRUE(listener.Listen(0, kLoopback));
    QSocket client;
    ASSERT_TRUE(client.ConnectTo(kLoopback, listener.LocalPort(), true, &kDirect));
    EXPECT_TRUE(client.IsEstablished());
    EXPECT_TRUE(client.IsBlocking());
    EXPECT_EQ(client.SendBytes(Bytes("now")), 3);
    std::unique_ptr<QSocket> server;
    ASSERT_TRUE(test::WaitFor([&] { return (server = listener.Accept()) != nullptr; }));
    ASSERT_TRUE(ReceiveAtLeast(*server, 3));
    EXPECT_EQ(ReceivedString(*server), "now");
}

TEST(QSocket, WaitsAnswerPendingFlagsOnceAndPollOtherwise) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.Ready());
    EXPECT_FALSE(pair.client.WaitReadable(0));
    EXPECT_FALSE(pair.client.WaitReadable(-2));  // non-blocking: only a poll
    pair.client.MarkReadablePending();
    EXPECT_TRUE(pair.client.WaitReadable(0));
    EXPECT_FALSE(pair.client.WaitReadable(0));
    EXPECT_TRUE(pair.client.WaitWritable(0));
    pair.server->SendBytes(Bytes("x"));
    EXPECT_TRUE(pair.client.WaitReadable(5));
}

TEST(QSocket, ObjectIsReusableAfterClose) {
    auto pool = BufferPool::Create();
    QSocket listener(pool);
    ASSERT_TRUE(listener.Listen(0, kLoopback));
    QSocket client(pool);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(client.ConnectTo(kLoopback, listener.LocalPort(), false, &kDirect));
        std::unique_ptr<QSocket> server;
        ASSERT_TRUE(test::WaitFor([&] {
            if (server == nullptr) {
                server = listener.Accept();
            }
            return server != nullptr && client.IsEstablished();
        }));
        const std::string text = "round " + std::to_string(round);
        EXPECT_EQ(client.SendBytes(Bytes(text)), static_cast<int32_t>(text.size()));
        ASSERT_TRUE(ReceiveAtLeast(*server, static_cast<int32_t>(text.size())));
        EXPECT_EQ(ReceivedString(*server), text);
        EXPECT_EQ(client.SentTotal(), text.size());
        client.Close();
        server->Close();
    }
    EXPECT_EQ(pool->InUseCount(), 0u);
}

}  // namespace
}  // namespace kf
