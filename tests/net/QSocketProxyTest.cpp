// Proxy handshakes against scripted proxies on loopback: each script checks the exact bytes the
// connection sends and answers as a proxy would. Targets are 127.x addresses and made-up names
// that only ever travel inside the proxy requests.
#include <poll.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "SingleConnectionServer.h"
#include "engine/net/HostResolver.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/QSocket.h"

namespace kf {
namespace {

using test::ScriptConnection;
using test::SingleConnectionServer;

const uint32_t kTarget = ParseDottedAddress("127.1.2.3");
constexpr const char* kTargetName = "kf-target.example";

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Raw(std::initializer_list<int> bytes) {
    std::string out;
    for (int byte : bytes) {
        out.push_back(static_cast<char>(byte));
    }
    return out;
}

std::string ReceivedString(const QSocket& socket) {
    const std::span<const uint8_t> bytes = socket.Received();
    return std::string(bytes.begin(), bytes.end());
}

QProxyConfig ProxyAt(const SingleConnectionServer& server, int32_t type) {
    QProxyConfig proxy;
    proxy.type = type;
    proxy.address = SingleConnectionServer::Loopback();
    proxy.port = server.Port();
    proxy.timeout = 4;
    return proxy;
}

// Completion check until the connection is up (handshake sent) or closed.
bool Establish(QSocket& socket) {
    test::WaitFor([&] { return socket.IsEstablished() || !socket.IsOpen(); });
    return socket.IsEstablished();
}

// Receives until the proxy reply is through and `count` bytes are buffered, or the socket fails.
int32_t ReceiveAfterProxy(QSocket& socket, int32_t count) {
    int32_t result = 0;
    test::WaitFor([&] {
        result = socket.ReceiveBytes();
        return result < 0 || (socket.ProxyDone() && socket.ReceivedLength() >= count);
    });
    return result;
}

bool NothingArrived(const ScriptConnection& connection) {
    pollfd entry{connection.Fd(), POLLIN, 0};
    return poll(&entry, 1, 0) == 0;
}

// Swaps in a name lookup that counts its calls and answers 127.1.2.3, for the test's duration.
class ResolverGuard {
  public:
    ResolverGuard() {
        HostResolver::Engine().SetLookupFunction([calls = calls_](const std::string&) {
            ++*calls;
            return HostLookupAnswer{0, {kTarget}};
        });
    }
    ~ResolverGuard() {
        HostResolver::Engine().SetLookupFunction(nullptr);
        HostResolver::Engine().ClearUnresolvableHosts();
    }
    int Calls() const { return calls_->load(); }

  private:
    std::shared_ptr<std::atomic<int>> calls_ = std::make_shared<std::atomic<int>>(0);
};

TEST(ProxyTunnel, HttpConnectHoldsDataUntilTheReplyAndKeepsWhatFollowsIt) {
    std::atomic<bool> client_queued{false};
    SingleConnectionServer proxy_server([&](ScriptConnection& proxy) {
        proxy.Expect("CONNECT 127.1.2.3:80 HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(test::WaitFor([&] { return client_queued.load(); }));
        EXPECT_TRUE(NothingArrived(proxy)) << "data went out before the proxy answered";
        proxy.Write("HTTP/1.1 200 Connection established\r\nProxy-Agent: t\r\n\r\nWELCOME");
        proxy.Expect("PING");
        proxy.Write("!");
    });
    const QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kHttp);
    QSocket socket;
    ASSERT_TRUE(socket.ConnectTo(kTarget, 80, false, &config));
    ASSERT_TRUE(Establish(socket));
    EXPECT_EQ(socket.RemoteIp(), kTarget);
    EXPECT_EQ(socket.RemotePort(), 80);
    EXPECT_FALSE(socket.ProxyDone());
    EXPECT_EQ(socket.SendBytes(Bytes("PING")), 0);  // queued: the reply is not there yet
    EXPECT_EQ(socket.QueuedLength(), 4);
    client_queued = true;

    ASSERT_GT(ReceiveAfterProxy(socket, 7), 0);
    EXPECT_EQ(ReceivedString(socket), "WELCOME");
    EXPECT_EQ(socket.QueuedLength(), 0);  // flushed right after the reply
    socket.Consume(-1);
    ASSERT_GT(ReceiveAfterProxy(socket, 1), 0);
    EXPECT_EQ(ReceivedString(socket), "!");
    EXPECT_TRUE(proxy_server.WaitDone());
}

TEST(ProxyTunnel, HttpCredentialsDomainAndAnnouncedBody) {
    SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
        proxy.Expect(
            "CONNECT 127.1.2.3:8443 HTTP/1.1\r\nProxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n"
            "Domain: CORP\r\n\r\n");
        proxy.Write("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbo");
        proxy.Write("dyDATA");
        proxy.WaitClosed();
    });
    QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kHttp);
    config.user = "alice";
    config.password = "s3cret";
    config.domain = "CORP";
    QSocket socket;
    ASSERT_TRUE(socket.ConnectTo(kTarget, 8443, false, &config));
    ASSERT_GT(ReceiveAfterProxy(socket, 4), 0);
    EXPECT_EQ(ReceivedString(socket), "DATA");  // the announced body belonged to the proxy
    socket.Close();
}

TEST(ProxyTunnel, HttpOtherVerbLeavesTheReplyForTheOwner) {
    SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
        proxy.Expect("GET 127.1.2.3:80 HTTP/1.1\r\n\r\n");
        proxy.Write("HTTP/1.1 200 OK\r\n\r\nbody");
        proxy.WaitClosed();
    });
    QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kHttp);
    config.verb = "GET";
    QSocket socket;
    ASSERT_TRUE(socket.ConnectTo(kTarget, 80, false, &config));
    ASSERT_GT(ReceiveAfterProxy(socket, 23), 0);
    EXPECT_EQ(ReceivedString(socket), "HTTP/1.1 200 OK\r\n\r\nbody");
    socket.Close();
}

TEST(ProxyTunnel, HttpRefusalsCloseTheConnection) {
    const std::string refusals[] = {
        "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'a'),  // a header that never ends
    };
    for (const std::string& refusal : refusals) {
        SingleConnectionServer proxy_server([&](ScriptConnection& proxy) {
            proxy.Expect("CONNECT 127.1.2.3:80 HTTP/1.1\r\n\r\n");
            proxy.Write(refusal);
            proxy.WaitClosed();
        });
        const QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kHttp);
        QSocket socket;
        ASSERT_TRUE(socket.ConnectTo(kTarget, 80, false, &config));
        EXPECT_EQ(ReceiveAfterProxy(socket, 1), -1);
        EXPECT_FALSE(socket.IsOpen());
        EXPECT_TRUE(proxy_server.WaitDone());
    }
}

TEST(ProxyTunnel, HttpRelayWithoutTunnelSendsNoHandshake) {
    SingleConnectionServer proxy_server(
        [](ScriptConnection& proxy) { proxy.Expect("GET http://127.1.2.3/ HTTP/1.1\r\n\r\n"); });
    QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kHttp);
    config.no_tunnel = true;
    QSocket socket;
    ASSERT_TRUE(socket.ConnectTo(kTarget, 80, false, &config));
    ASSERT_TRUE(Establish(socket));
    EXPECT_TRUE(socket.ProxyDone());
    EXPECT_EQ(socket.SendBytes(Bytes("GET http://127.1.2.3/ HTTP/1.1\r\n\r\n")), 34);
    EXPECT_TRUE(proxy_server.WaitDone());
}

TEST(ProxyTunnel, HttpProxyResolvesTheNameWhenAsked) {
    ResolverGuard resolver;
    SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
        proxy.Expect("CONNECT kf-target.example:8080 HTTP/1.1\r\n\r\n");
        proxy.Write("HTTP/1.1 200 OK\r\n\r\n");
        proxy.WaitClosed();
    });
    QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kHttp);
    config.remote_names = true;
    QSocket socket;
    ASSERT_TRUE(socket.ConnectByName(kTargetName, 8080, false, &config));
    EXPECT_EQ(socket.HostText(), kTargetName);
    EXPECT_EQ(ReceiveAfterProxy(socket, 0), 0);
    EXPECT_TRUE(socket.ProxyDone());
    EXPECT_EQ(resolver.Calls(), 0);
    // A name that would break the request line is refused before anything is sent.
    QSocket bad;
    EXPECT_FALSE(bad.ConnectByName("evil\r\nX: y", 80, false, &config));
    socket.Close();
}

TEST(ProxyTunnel, EngineWideSettingsApplyWhenNoneAreGiven) {
    SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
        proxy.Expect("CONNECT 127.1.2.3:80 HTTP/1.1\r\n\r\n");
        proxy.WaitClosed();
    });
    SetEngineProxyConfig(ProxyAt(proxy_server, QProxyConfig::kHttp));
    QSocket socket;
    const bool connected = socket.ConnectTo(kTarget, 80);
    SetEngineProxyConfig(QProxyConfig());
    ASSERT_TRUE(connected);
    ASSERT_TRUE(Establish(socket));
    EXPECT_FALSE(socket.ProxyDone());
    socket.Close();
    EXPECT_TRUE(proxy_server.WaitDone());
}

TEST(ProxyTunnel, Socks4GrantedKeepsDataAfterTheReply) {
    SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
        proxy.Expect(Raw({4, 1, 0, 80, 127, 1, 2, 3, 0}));
        proxy.Write(Raw({0, 90, 0, 0, 0, 0, 0, 0}) + "xyz");
        proxy.WaitClosed();
    });
    const QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kSocks4);
    QSocket socket;
    ASSERT_TRUE(socket.ConnectTo(kTarget, 80, false, &config));
    ASSERT_GT(ReceiveAfterProxy(socket, 3), 0);
    EXPECT_EQ(ReceivedString(socket), "xyz");
    socket.Close();
}

TEST(ProxyTunnel, Socks4RefusalFails) {
    SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
        proxy.Expect(Raw({4, 1, 0, 80, 127, 1, 2, 3, 0}));
        proxy.Write(Raw({0, 91, 0, 0, 0, 0, 0, 0}));
        proxy.WaitClosed();
    });
    const QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kSocks4);
    QSocket socket;
    ASSERT_TRUE(socket.ConnectTo(kTarget, 80, false, &config));
    EXPECT_EQ(ReceiveAfterProxy(socket, 1), -1);
    EXPECT_FALSE(socket.IsOpen());
}

TEST(ProxyTunnel, Socks4aSendsTheNameButSocks4ResolvesLocally) {
    ResolverGuard resolver;
    {
        SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
            proxy.Expect(Raw({4, 1, 0x1f, 0x90, 0, 0, 0, 1, 0}) + kTargetName + Raw({0}));
            proxy.Write(Raw({0, 90, 0, 0, 0, 0, 0, 0}));
            proxy.WaitClosed();
        });
        QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kSocks4a);
        config.remote_names = true;
        QSocket socket;
        ASSERT_TRUE(socket.ConnectByName(kTargetName, 8080, false, &config));
        EXPECT_EQ(ReceiveAfterProxy(socket, 0), 0);
        EXPECT_TRUE(socket.ProxyDone());
        EXPECT_EQ(resolver.Calls(), 0);
    }
    {
        SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
            proxy.Expect(Raw({4, 1, 0x1f, 0x90, 127, 1, 2, 3, 0}));
            proxy.Write(Raw({0, 90, 0, 0, 0, 0, 0, 0}));
            proxy.WaitClosed();
        });
        QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kSocks4);
        config.remote_names = true;  // not for SOCKS4
        QSocket socket;
        ASSERT_TRUE(socket.ConnectByName(kTargetName, 8080, false, &config));
        EXPECT_EQ(resolver.Calls(), 1);
        EXPECT_EQ(ReceiveAfterProxy(socket, 0), 0);
        EXPECT_TRUE(socket.ProxyDone());
    }
}

TEST(ProxyTunnel, Socks5WithoutAuthentication) {
    SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
        proxy.Expect(Raw({5, 1, 0}));
        proxy.Write(Raw({5, 0}));
        proxy.Expect(Raw({5, 1, 0, 1, 127, 1, 2, 3, 0, 80}));
        // The reply arrives in two pieces, the second with data behind it.
        proxy.Write(Raw({5, 0, 0, 1, 127}));
        proxy.Write(Raw({0, 0, 1, 0x1f, 0x90}) + "abc");
        proxy.Expect("hello");
    });
    const QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kSocks5);
    QSocket socket;
    ASSERT_TRUE(socket.ConnectTo(kTarget, 80, false, &config));
    ASSERT_TRUE(Establish(socket));
    socket.SendBytes(Bytes("hello"));
    ASSERT_GT(ReceiveAfterProxy(socket, 3), 0);
    EXPECT_EQ(ReceivedString(socket), "abc");
    EXPECT_TRUE(proxy_server.WaitDone());
}

TEST(ProxyTunnel, Socks5UserPasswordAndNameReply) {
    ResolverGuard resolver;
    SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
        proxy.Expect(Raw({5, 1, 2}));
        proxy.Write(Raw({5, 2}));
        proxy.Expect(Raw({1, 5}) + "alice" + Raw({6}) + "s3cret");
        proxy.Write(Raw({1, 0}));
        proxy.Expect(Raw({5, 1, 0, 3, 17}) + kTargetName + Raw({1, 0xbb}));
        proxy.Write(Raw({5, 0, 0, 3, 9}) + "proxy.lan" + Raw({0x1f, 0x90}) + "hi");
        proxy.WaitClosed();
    });
    QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kSocks5);
    config.user = "alice";
    config.password = "s3cret";
    config.remote_names = true;
    QSocket socket;
    ASSERT_TRUE(socket.ConnectByName(kTargetName, 443, false, &config));
    ASSERT_GT(ReceiveAfterProxy(socket, 2), 0);
    EXPECT_EQ(ReceivedString(socket), "hi");
    EXPECT_EQ(resolver.Calls(), 0);
    socket.Close();
}

TEST(ProxyTunnel, Socks5RefusalsFailTheHandshake) {
    struct Case {
        const char* name;
        bool credentials;
        std::string method_reply;
        std::string auth_reply;
    };
    const Case cases[] = {
        {"no acceptable method", false, Raw({5, 0xff}), ""},
        {"wants authentication we did not offer", false, Raw({5, 2}), ""},
        {"credentials refused", true, Raw({5, 2}), Raw({1, 1})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool blocking : {false, true}) {
            SingleConnectionServer proxy_server([&](ScriptConnection& proxy) {
                proxy.Expect(Raw({5, 1, c.credentials ? 2 : 0}));
                proxy.Write(c.method_reply);
                if (!c.auth_reply.empty()) {
                    proxy.Expect(Raw({1, 1, 'u', 1, 'p'}));
                    proxy.Write(c.auth_reply);
                }
                proxy.WaitClosed();
            });
            QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kSocks5);
            if (c.credentials) {
                config.user = "u";
                config.password = "p";
            }
            QSocket socket;
            if (blocking) {
                EXPECT_FALSE(socket.ConnectTo(kTarget, 80, true, &config));
            } else {
                ASSERT_TRUE(socket.ConnectTo(kTarget, 80, false, &config));
                EXPECT_FALSE(Establish(socket));
            }
            EXPECT_FALSE(socket.IsOpen());
            EXPECT_TRUE(proxy_server.WaitDone());
        }
    }
}

TEST(ProxyTunnel, SilentSocks5ProxyFailsWithinHalfTheTimeout) {
    SingleConnectionServer proxy_server([](ScriptConnection& proxy) {
        proxy.Expect(Raw({5, 1, 0}));
        proxy.WaitClosed();
    });
    QProxyConfig config = ProxyAt(proxy_server, QProxyConfig::kSocks5);
    config.timeout = 1;
    QSocket socket;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(socket.ConnectTo(kTarget, 80, true, &config));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(450));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
    EXPECT_TRUE(proxy_server.WaitDone());
}

}  // namespace
}  // namespace kf
