// HTTPS fetches against a private nginx on loopback with certificates of a lab authority made in
// the test: what is trusted, what is refused, the body cap and the time limit; and a resource
// list fetched and read as the downloader does it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "app/platform/CurlFetcher.h"
#include "app/platform/ProductInfo.h"
#include "app/platform/ResourceList.h"
#include "support/LabCa.h"
#include "support/LoopbackPorts.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"

namespace kf::app {
namespace {

using namespace std::chrono_literals;
using test::LabCa;
using test::NginxServer;
using test::TempDir;
using test::WriteFile;

class CurlFetcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NginxServer::Available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        ASSERT_TRUE(ca_.Made());
        ASSERT_TRUE(other_ca_.Made());
        const LabCa::Server good = ca_.Issue("good", "IP:127.0.0.1,DNS:localhost");
        const LabCa::Server elsewhere = ca_.Issue("elsewhere", "DNS:elsewhere.invalid");
        ASSERT_FALSE(good.certificate.empty());
        ASSERT_FALSE(elsewhere.certificate.empty());
        ASSERT_TRUE(WriteFile(www_ / "list.xml", "<project/>"));
        ASSERT_TRUE(WriteFile(www_ / "exact.bin", std::string(CurlFetcher::kMaxBody, 'x')));
        ASSERT_TRUE(WriteFile(www_ / "big.bin", std::string(CurlFetcher::kMaxBody + 1, 'x')));
        ASSERT_TRUE(nginx_.StartTls(www_.Path(), good.certificate, good.key));
        ASSERT_TRUE(wrong_host_.StartTls(www_.Path(), elsewhere.certificate, elsewhere.key));
    }

    LabCa ca_;
    LabCa other_ca_;
    TempDir www_;
    NginxServer nginx_;
    NginxServer wrong_host_;
};

TEST_F(CurlFetcherTest, TrustsOnlyAVerifiedServerAndCapsTheBody) {
    CurlFetcher trusting(ca_.Certificate());
    CurlFetcher other(other_ca_.Certificate());
    CurlFetcher system_only;
    CurlFetcher unreadable(www_ / "no-such-ca.pem");
    const struct {
        const char* what;
        CurlFetcher* fetcher;
        std::string url;
        bool ok;
        long status;
        size_t body;
        const char* cause;  // part of the error when not ok
    } cases[] = {
        {"our authority", &trusting, nginx_.Url("/list.xml"), true, 200, 10, ""},
        {"a redirect", &trusting, nginx_.Url("/moved/list.xml"), true, 200, 10, ""},
        {"1 MiB exactly", &trusting, nginx_.Url("/exact.bin"), true, 200, CurlFetcher::kMaxBody,
         ""},
        {"over 1 MiB with a length", &trusting, nginx_.Url("/big.bin"), false, 200, 0, "larger"},
        {"over 1 MiB chunked", &trusting, nginx_.Url("/chunked/big.bin"), false, 200, 0, "larger"},
        {"not found", &trusting, nginx_.Url("/missing.xml"), false, 404, 0, "HTTP status 404"},
        {"another authority", &other, nginx_.Url("/list.xml"), false, 0, 0, "certificate"},
        {"the system's authorities only", &system_only, nginx_.Url("/list.xml"), false, 0, 0,
         "certificate"},
        {"a certificate for another host", &trusting, wrong_host_.Url("/list.xml"), false, 0, 0,
         "subject name"},
        {"an authority that cannot be read", &unreadable, nginx_.Url("/list.xml"), false, 0, 0,
         "cannot read"},
        {"a scheme other than http(s)", &trusting, "file:///etc/passwd", false, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Fetcher::Result result = c.fetcher->Get(c.url, 30);
        EXPECT_EQ(result.ok, c.ok) << result.error;
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.body.size(), c.body);
        if (!c.ok) {
            EXPECT_TRUE(result.error.starts_with("Failed to get " + c.url)) << result.error;
            EXPECT_NE(result.error.find(c.cause), std::string::npos) << result.error;
        }
    }
}

TEST_F(CurlFetcherTest, AServerThatNeverAnswersEndsAtTheTimeLimit) {
    int32_t port = 0;
    const int silent = test::ListenOnLoopback(4, &port);  // accepts in the kernel, never answers
    ASSERT_GE(silent, 0);
    CurlFetcher fetcher(ca_.Certificate());
    const auto start = std::chrono::steady_clock::now();
    const Fetcher::Result result =
        fetcher.Get("https://127.0.0.1:" + std::to_string(port) + "/list.xml", 1);
    const auto took = std::chrono::steady_clock::now() - start;
    close(silent);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.error.starts_with("Failed to get https://127.0.0.1:")) << result.error;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 5s);
}

// The downloader's path: fetch, then read. A hostile list over a good connection gives only its
// safe mirrors; the same list behind an untrusted certificate gives nothing to read at all.
TEST_F(CurlFetcherTest, AHostileListYieldsOnlyItsSafeMirrors) {
    ProductInfo product = ProductInfo::Default();
    const std::string task = product.files[1].source_url;
    ASSERT_TRUE(WriteFile(
        www_ / "hostile.xml",
        "<project><configs><p2p-switch>on</p2p-switch></configs><resources>"
        "<resource id=\"1\" task=\"" +
            task +
            "\">"
            "<cdn id=\"a\" name=\"a\" middle-dir=\"/d/\" file-name=\"f\" open=\"yes\">"
            "<ip>192.0.2.1&#13;&#10;http://192.0.2.66/</ip><ip>192.0.2.2</ip></cdn>"
            "<cdn id=\"b\" name=\"b\" middle-dir=\"/../../root/\" file-name=\"f\" open=\"yes\">"
            "<ip>192.0.2.3</ip></cdn>"
            "</resource></resources></project>"));
    CurlFetcher trusting(ca_.Certificate());
    const Fetcher::Result fetched = trusting.Get(nginx_.Url("/hostile.xml"), 30);
    ASSERT_TRUE(fetched.ok) << fetched.error;
    const auto list = ResourceList::Parse(fetched.body, nullptr);
    ASSERT_TRUE(list.has_value());
    EXPECT_TRUE(list->p2p_on);
    EXPECT_EQ(list->skipped, 2u);
    const auto mirrors = list->MirrorsFor(product, -1, {false, false, false});
    ASSERT_EQ(mirrors[1].size(), 1u);
    EXPECT_EQ(mirrors[1][0].url, "http://192.0.2.2/d/f");
    EXPECT_TRUE(mirrors[0].empty());
    EXPECT_TRUE(mirrors[2].empty());

    CurlFetcher other(other_ca_.Certificate());
    const Fetcher::Result refused = other.Get(nginx_.Url("/hostile.xml"), 30);
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.body.empty());
}

}  // namespace
}  // namespace kf::app
