#include "engine/net/ProxyProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/net/Ipv4Address.h"

namespace kf {
namespace {

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

std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Feeds `reply` to the parser as a stream arriving in pieces of `chunk` bytes, the way the
// connection sees it: the whole buffered prefix is examined after every piece. Returns the first
// verdict that is not "need more" and how many bytes had arrived then.
std::pair<ProxyReplyVerdict, size_t> FeedInChunks(int32_t type, std::string_view reply,
                                                  size_t chunk) {
    size_t arrived = 0;
    while (arrived < reply.size()) {
        arrived = std::min(reply.size(), arrived + chunk);
        const ProxyReplyVerdict verdict = ParseProxyReply(type, Bytes(reply.substr(0, arrived)));
        if (verdict.status != ProxyReplyStatus::kNeedMore) {
            return {verdict, arrived};
        }
    }
    return {ProxyReplyVerdict{}, arrived};
}

struct ReplyCase {
    const char* name;
    int32_t type;
    std::string reply;
    ProxyReplyStatus status;
    size_t consumed;  // kDone: bytes the proxy's reply covers
    size_t decided;   // the shortest prefix that decides the verdict (0: all of it)
};

std::vector<ReplyCase> ReplyCases() {
    using S = ProxyReplyStatus;
    const std::string ok = "HTTP/1.1 200 Connection established\r\n\r\n";
    const std::string with_body = "HTTP/1.0 200 OK\r\ncontent-length:  5\r\n\r\nhello";
    std::string socks5_name = std::string("\x05\x00\x00\x03\x09", 5) + "proxy.lan" + "\x1f\x90";
    std::string socks5_ip("\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10);
    return {
        {"http 200, data after the empty line", QProxyConfig::kHttp, ok + "GET-DATA", S::kDone,
         ok.size(), ok.size()},
        {"http LF LF", QProxyConfig::kHttp, "HTTP/1.1 200 OK\n\nrest", S::kDone, 17, 17},
        {"http 200 with a body", QProxyConfig::kHttp, with_body + "after", S::kDone,
         with_body.size(), with_body.size()},
        {"http 407", QProxyConfig::kHttp,
         "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n", S::kFailed, 0,
         0},
        {"http 2000 is not a status we know but starts with 20", QProxyConfig::kHttp,
         "HTTP/1.1 2000 x\r\n\r\n", S::kDone, 19, 19},
        {"http status missing", QProxyConfig::kHttp, "200\r\n\r\n", S::kFailed, 0, 7},
        {"http token over 50 bytes", QProxyConfig::kHttp,
         "HTTP/1.1 200" + std::string(51, 'x') + " OK\r\n\r\n", S::kFailed, 0, 70},
        {"http body larger than the limit", QProxyConfig::kHttp,
         "HTTP/1.1 200 OK\r\nContent-Length: 9999999999999999999999\r\n\r\n", S::kFailed, 0, 0},
        {"socks4 granted", QProxyConfig::kSocks4,
         std::string("\x00\x5a\x00\x50\x7f\x00\x00\x01xyz", 11), S::kDone, 8, 8},
        {"socks4a granted", QProxyConfig::kSocks4a,
         std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8), S::kDone, 8, 8},
        {"socks4 refused (91)", QProxyConfig::kSocks4,
         std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8), S::kFailed, 0, 2},
        {"socks4 bad version byte", QProxyConfig::kSocks4,
         std::string("\x04\x5a\x00\x00\x00\x00\x00\x00", 8), S::kFailed, 0, 1},
        {"socks5 IPv4 reply", QProxyConfig::kSocks5, socks5_ip + "abc", S::kDone, 10, 10},
        {"socks5 name reply", QProxyConfig::kSocks5, socks5_name + "abc", S::kDone, 16, 16},
        {"socks5 refused", QProxyConfig::kSocks5,
         std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10), S::kFailed, 0, 2},
        {"socks5 IPv6 reply", QProxyConfig::kSocks5,
         std::string("\x05\x00\x00\x04", 4) + std::string(18, '\0'), S::kFailed, 0, 5},
    };
}

TEST(ProxyReply, SameVerdictInEveryChunking) {
    for (const ReplyCase& c : ReplyCases()) {
        SCOPED_TRACE(c.name);
        const ProxyReplyVerdict whole = ParseProxyReply(c.type, Bytes(c.reply));
        EXPECT_EQ(whole.status, c.status);
        if (c.status == ProxyReplyStatus::kDone) {
            EXPECT_EQ(whole.consumed, c.consumed);
        }
        const size_t decided = c.decided == 0 ? c.reply.size() : c.decided;
        for (size_t chunk = 1; chunk <= c.reply.size(); ++chunk) {
            const auto [verdict, arrived] = FeedInChunks(c.type, c.reply, chunk);
            ASSERT_EQ(verdict, whole) << "chunk " << chunk;
            // Decided as soon as the deciding byte arrived, never earlier.
            EXPECT_GE(arrived, decided) << "chunk " << chunk;
            EXPECT_LT(arrived, decided + chunk) << "chunk " << chunk;
        }
    }
}

TEST(ProxyReply, UnendingHttpHeaderFailsAtTheLimitInsteadOfGrowing) {
    const std::string endless = "HTTP/1.1 200 OK\r\nX: " + std::string(kMaxProxyReplyHeader, 'a');
    EXPECT_EQ(ParseHttpProxyReply(Bytes(endless.substr(0, kMaxProxyReplyHeader - 1))).status,
              ProxyReplyStatus::kNeedMore);
    EXPECT_EQ(ParseHttpProxyReply(Bytes(endless)).status, ProxyReplyStatus::kFailed);
    // A body announced within the limit is waited for, one above it is refused.
    const std::string header =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kMaxProxyReplyBody) + "\r\n\r\n";
    EXPECT_EQ(ParseHttpProxyReply(Bytes(header)).status, ProxyReplyStatus::kNeedMore);
    const std::string too_big =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kMaxProxyReplyBody + 1) + "\r\n\r\n";
    EXPECT_EQ(ParseHttpProxyReply(Bytes(too_big)).status, ProxyReplyStatus::kFailed);
}

TEST(ProxyReply, UnknownTypeFails) {
    EXPECT_EQ(ParseProxyReply(QProxyConfig::kNone, Bytes("\x00\x5a")).status,
              ProxyReplyStatus::kFailed);
    EXPECT_EQ(ParseProxyReply(7, Bytes("HTTP/1.1 200 OK\r\n\r\n")).status,
              ProxyReplyStatus::kFailed);
}

// The user is told what the proxy said, never raw control bytes.
TEST(ProxyReply, RefusalsAreDescribedForTheUser) {
    using namespace std::string_view_literals;
    const struct {
        int32_t type;
        std::string_view reply;
        std::string said;
    } cases[] = {
        {QProxyConfig::kHttp, "HTTP/1.1 407 Proxy Authentication Required\r\nX: y\r\n\r\n",
         "the proxy answered \"HTTP/1.1 407 Proxy Authentication Required\""},
        {QProxyConfig::kHttp, "HTTP/1.0 403\x01\x7f", "the proxy answered \"HTTP/1.0 403??\""},
        {QProxyConfig::kSocks4, "\x00\x5b\x00\x00\x00\x00\x00\x00"sv,
         "the SOCKS4 proxy refused (code 91)"},
        {QProxyConfig::kSocks5, "\x05\x05"sv, "the SOCKS5 proxy refused (code 5)"},
        {QProxyConfig::kSocks5, "", "the SOCKS5 proxy sent no reply"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DescribeProxyRefusal(c.type, Bytes(c.reply)), c.said);
    }
    EXPECT_EQ(DescribeProxyRefusal(QProxyConfig::kHttp, Bytes(std::string(500, 'A'))).size(),
              std::string("the proxy answered \"\"").size() + 120);
}

TEST(ProxyRequest, Base64MatchesTheStandardVectors) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(Base64Encode("alice:s3cret"), "YWxpY2U6czNjcmV0");
}

TEST(ProxyRequest, HttpConnectBytes) {
    QProxyConfig proxy;
    proxy.type = QProxyConfig::kHttp;
    proxy.target = HttpProxyTarget("1.2.3.4", 80);
    EXPECT_EQ(proxy.target, "1.2.3.4:80 HTTP/1.1\r\n");
    EXPECT_EQ(BuildHttpProxyRequest(proxy, false).value(), "CONNECT 1.2.3.4:80 HTTP/1.1\r\n\r\n");

    proxy.user = "alice";
    proxy.password = "s3cret";
    proxy.domain = "CORP";
    proxy.verb = "GET";
    EXPECT_EQ(BuildHttpProxyRequest(proxy, false).value(),
              "GET 1.2.3.4:80 HTTP/1.1\r\nProxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n"
              "Domain: CORP\r\n\r\n");
    EXPECT_EQ(BuildHttpProxyRequest(proxy, true).value(),
              "GET 1.2.3.4:80 HTTP/1.1\r\nProxy-Authorization: Basic ******\r\n"
              "Domain: CORP\r\n\r\n");
    EXPECT_FALSE(proxy.VerbIsConnect());
}

TEST(ProxyRequest, HttpRefusesTextThatWouldAddHeaderLines) {
    QProxyConfig proxy;
    proxy.type = QProxyConfig::kHttp;
    proxy.target = "evil\r\nX-Injected: 1:80 HTTP/1.1\r\n";
    EXPECT_FALSE(BuildHttpProxyRequest(proxy, false));
    proxy.target = "host:80 HTTP/1.1";  // no line end
    EXPECT_FALSE(BuildHttpProxyRequest(proxy, false));
    proxy.target = HttpProxyTarget("host", 80);
    proxy.domain = "a\r\nb";
    EXPECT_FALSE(BuildHttpProxyRequest(proxy, false));
}

TEST(ProxyRequest, SocksBytes) {
    const uint32_t address = ParseDottedAddress("127.1.2.3");
    EXPECT_EQ(Text(BuildSocks4Request(address, 80, "").value()),
              std::string("\x04\x01\x00\x50\x7f\x01\x02\x03\x00", 9));
    EXPECT_EQ(Text(BuildSocks4Request(address, 8080, "kf.example").value()),
              std::string("\x04\x01\x1f\x90\x00\x00\x00\x01\x00kf.example\x00", 20));
    EXPECT_EQ(Text(BuildSocks5MethodOffer(false)), std::string("\x05\x01\x00", 3));
    EXPECT_EQ(Text(BuildSocks5MethodOffer(true)), std::string("\x05\x01\x02", 3));
    EXPECT_EQ(Text(BuildSocks5Credentials("alice", "s3cret").value()),
              Raw({1, 5}) + "alice" + Raw({6}) + "s3cret");
    EXPECT_EQ(Text(BuildSocks5Connect(address, 443, "").value()),
              std::string("\x05\x01\x00\x01\x7f\x01\x02\x03\x01\xbb", 10));
    EXPECT_EQ(Text(BuildSocks5Connect(address, 443, "kf.example").value()),
              std::string("\x05\x01\x00\x03\x0a"
                          "kf.example"
                          "\x01\xbb",
                          17));
}

TEST(ProxyRequest, SocksRefusesWhatTheLengthBytesCannotCarry) {
    const std::string long_name(256, 'a');
    const std::string longest(255, 'a');
    EXPECT_FALSE(BuildSocks4Request(1, 80, long_name));
    EXPECT_TRUE(BuildSocks4Request(1, 80, longest));
    EXPECT_FALSE(BuildSocks4Request(1, 80, std::string("a\0b", 3)));
    EXPECT_FALSE(BuildSocks5Connect(1, 80, long_name));
    EXPECT_EQ(BuildSocks5Connect(1, 80, longest)->size(), 7u + 255u);
    EXPECT_FALSE(BuildSocks5Credentials(long_name, "x"));
    EXPECT_FALSE(BuildSocks5Credentials("x", long_name));
    EXPECT_FALSE(BuildSocks4Request(1, 0, ""));
    EXPECT_FALSE(BuildSocks5Connect(1, 65536, ""));
}

}  // namespace
}  // namespace kf
