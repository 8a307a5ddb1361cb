#include <gtest/gtest.h>

#include "engine/net/ProxyUrl.h"

namespace {

using kf::ParseProxyUrl;
using kf::ProxyUrl;

TEST(ProxyUrl, SchemesPortsAndCredentials) {
    const auto http = ParseProxyUrl("HTTP://127.0.0.1");
    ASSERT_TRUE(http);
    EXPECT_EQ(http->type, ProxyUrl::kHttp);
    EXPECT_EQ(http->port, 8080);
    EXPECT_EQ(http->host, "127.0.0.1");

    const auto socks = ParseProxyUrl("socks5://us%3Aer:p@ss@localhost:1081/");
    ASSERT_TRUE(socks);
    EXPECT_EQ(socks->type, ProxyUrl::kSocks5);
    EXPECT_EQ(socks->port, 1081);
    EXPECT_EQ(socks->host, "localhost");
    EXPECT_EQ(socks->user, "us:er");
    EXPECT_EQ(socks->password, "p@ss");  // the last '@' ends the credentials

    EXPECT_EQ(ParseProxyUrl("socks4a://h:9")->type, ProxyUrl::kSocks4a);
    EXPECT_EQ(ParseProxyUrl("socks4://h")->port, 1080);
}

TEST(ProxyUrl, RefusesWhatItCannotUse) {
    for (const char* bad : {"", "ftp://h:21", "socks5://", "http://:80", "http://h:0",
                            "http://h:65536", "http://h:8o", "http://h:", "socks5://u:p@"}) {
        EXPECT_FALSE(ParseProxyUrl(bad)) << bad;
    }
}

}  // namespace
