// Whole downloads from private servers on loopback (nginx, and one FTP server) through real proxy
// daemons (HTTP CONNECT with and without Basic authentication, SOCKS4, SOCKS4a, SOCKS5 with and
// without user/password), set through the call interface as an application does; the ends of
// tasks whose proxy refuses them; and kfget's --proxy option.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/kestrelfetch.h"
#include "engine/net/HostResolver.h"
#include "support/ChildProcess.h"
#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/FtpServer.h"
#include "support/LibtorrentPeer.h"
#include "support/LoopbackPorts.h"
#include "support/NamingSocksProxy.h"
#include "support/NginxServer.h"
#include "support/NoticeRecorder.h"
#include "support/OpenTracker.h"
#include "support/ProxyServers.h"
#include "support/TempDir.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using test::DanteServer;
using test::FtpServer;
using test::MicrosocksServer;
using test::NginxServer;
using test::TempDir;
using test::TinyproxyServer;

// Small, so that the suite stays quick, but more than one piece and one receive buffer.
constexpr size_t kFileSize = 300 * 1024 + 123;
// A task whose every connection is refused ends with "no source" once its source has failed a few
// times after the 15-second grace period, well before the 45-second metadata limit.
constexpr auto kRefusalBound = 40s;

TaskInfo Info(KfTaskHandle task) {
    TaskInfo info;
    if (QueryTaskInfo(task, &info) != KF_OK) {
        std::memset(&info, 0, sizeof(info));
    }
    return info;
}

// Polls every 20 ms until `done` holds, at most `timeout`.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

bool Complete(KfTaskHandle task) {
    int32_t complete = 0;
    return IsTaskComplete(task, &complete) == KF_OK && complete != 0;
}

// The task's thread ended without the content: the statuses of a task that ran out of sources.
bool EndedWithoutContent(KfTaskHandle task) {
    return Info(task).status == KF_STATUS_NO_SOURCE;
}

class ProxyDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        content_ = test::RandomBytes(kFileSize, 4242);
        ASSERT_TRUE(test::WriteFile(www_ / "file.bin", content_));
        ASSERT_EQ(InitEngine(nullptr), KF_OK);
        engine_started_ = true;
    }

    // Serves the file from nginx; its address becomes the tasks' source.
    void ServeOverHttp() {
        ASSERT_TRUE(nginx_.Start(www_.Path())) << nginx_.ErrorLogText();
        source_url_ = nginx_.Url("/file.bin");
    }

    void TearDown() override {
        if (task_ != nullptr) {
            StopTask(task_, 0);
        }
        if (engine_started_) {
            SetEngineProxy(nullptr);
            CleanupEngine();
        }
    }

    std::string Target() const { return out_ / "file.bin"; }

    // A plain task (no metainfo): the file from its server, laid out from the server's size.
    KfTaskHandle StartPlainTask() {
        sources_ = source_url_;
        TaskParams params = Params(KF_FLAG_ACCEPTED | KF_FLAG_FULL_PATH);
        EXPECT_EQ(CreateAndStartTask(&params), KF_OK);
        task_ = params.handle;
        return task_;
    }

    // A P2SP task: the swarm of a metainfo made for the file, with its server as a source.
    KfTaskHandle StartP2spTask() {
        const std::string torrent = meta_ / "file.torrent";
        if (test::MakeTorrent(www_ / "file.bin", 16, torrent).empty()) {
            ADD_FAILURE() << "mktorrent could not make the metainfo";
            return nullptr;
        }
        sources_ = source_url_;
        TaskParams params = Params(KF_FLAG_ACCEPTED | KF_FLAG_P2SP | KF_FLAG_FULL_PATH);
        const std::string location = "file://" + torrent;
        std::strncpy(params.torrent_location, location.c_str(),
                     sizeof(params.torrent_location) - 1);
        EXPECT_EQ(CreateAndStartTask(&params), KF_OK);
        task_ = params.handle;
        return task_;
    }

    // Waits for completion, stops the task and compares the file with the served bytes.
    void ExpectDownloaded(KfTaskHandle task) {
        ASSERT_NE(task, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return Complete(task); }, 60s))
            << "bytes done " << Info(task).bytes_done << ", status " << Info(task).status;
        EXPECT_EQ(Info(task).bytes_done, static_cast<int64_t>(kFileSize));
        // FTP bytes have no counter of their own.
        if (source_url_.starts_with("http://")) {
            EXPECT_GE(Info(task).http_bytes, static_cast<int64_t>(kFileSize));
        }
        ASSERT_EQ(StopTask(task, 0), KF_OK);
        task_ = nullptr;
        EXPECT_TRUE(test::ReadWholeFile(Target()) == content_) << "the file differs";
    }

    // Waits (once) for a task whose every connection is refused to end by itself, and checks
    // that it got nothing.
    void ExpectEndsWithoutContent(KfTaskHandle task) {
        ASSERT_NE(task, nullptr);
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(WaitUntil([&] { return EndedWithoutContent(task); }, kRefusalBound))
            << "the task neither ended nor completed; status " << Info(task).status;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - started)
                                 .count();
        const TaskInfo info = Info(task);
        EXPECT_FALSE(Complete(task));
        EXPECT_EQ(info.bytes_done, 0);
        EXPECT_EQ(info.http_bytes, 0);
        RecordProperty("end_status", info.status);
        RecordProperty("end_seconds", static_cast<int>(seconds));
        ASSERT_EQ(StopTask(task, 0), KF_OK);
        task_ = nullptr;
        EXPECT_NE(test::ReadWholeFile(Target()), content_);
    }

    TempDir www_;
    TempDir meta_;
    TempDir out_;
    NginxServer nginx_;
    std::string content_;
    std::string source_url_;
    std::string sources_;
    KfTaskHandle task_ = nullptr;
    bool engine_started_ = false;

  private:
    TaskParams Params(uint32_t flags) {
        TaskParams params;
        std::memset(&params, 0, sizeof(params));
        std::strncpy(params.target_path, Target().c_str(), sizeof(params.target_path) - 1);
        std::strncpy(params.resume_path, (out_ / "file.kfinfo").c_str(),
                     sizeof(params.resume_path) - 1);
        params.sources = sources_.c_str();
        params.flags = flags;
        return params;
    }
};

// --- HTTP CONNECT --------------------------------------------------------------------------------

class HttpProxyDownload : public ProxyDownload {
  protected:
    void SetUp() override {
        if (!TinyproxyServer::Available() || !NginxServer::Available()) {
            GTEST_SKIP() << "needs tinyproxy and nginx (scripts/install-deps)";
        }
        ProxyDownload::SetUp();
        ServeOverHttp();
    }
    TinyproxyServer proxy_;
};

TEST_F(HttpProxyDownload, TunnelCarriesAPlainDownload) {
    ASSERT_TRUE(proxy_.Start()) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url().c_str()), KF_OK);
    ExpectDownloaded(StartPlainTask());
    EXPECT_GT(proxy_.TunnelsTo(nginx_.Port()), 0) << proxy_.LogText();
}

TEST_F(HttpProxyDownload, BasicAuthCredentialsOpenTheTunnel) {
    ASSERT_TRUE(proxy_.Start("kfuser", "s3cret")) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url("kfuser", "s3cret").c_str()), KF_OK);
    ExpectDownloaded(StartPlainTask());
    EXPECT_GT(proxy_.TunnelsTo(nginx_.Port()), 0) << proxy_.LogText();
}

TEST_F(HttpProxyDownload, MissingCredentialsGet407AndTheTaskEnds) {
    ASSERT_TRUE(proxy_.Start("kfuser", "s3cret")) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url().c_str()), KF_OK);
    test::NoticeRecorder notices;
    ExpectEndsWithoutContent(StartPlainTask());
    // The engine did ask the proxy, which opened nothing.
    EXPECT_GT(proxy_.RequestsFor(nginx_.Port()), 0) << proxy_.LogText();
    EXPECT_EQ(proxy_.TunnelsTo(nginx_.Port()), 0);
    // The user is told who refused and what it said.
    const auto refusals = notices.OfKind(KF_NOTICE_PROXY_REFUSED);
    ASSERT_FALSE(refusals.empty());
    EXPECT_EQ(refusals[0].address, source_url_);
    EXPECT_NE(std::string(refusals[0].text).find("407"), std::string::npos) << refusals[0].text;
}

// --- SOCKS5 --------------------------------------------------------------------------------------

class Socks5ProxyDownload : public ProxyDownload {
  protected:
    void SetUp() override {
        if (!MicrosocksServer::Available() || !NginxServer::Available()) {
            GTEST_SKIP() << "needs microsocks and nginx (scripts/install-deps)";
        }
        ProxyDownload::SetUp();
        ServeOverHttp();
    }
    MicrosocksServer proxy_;
};

TEST_F(Socks5ProxyDownload, NoAuthenticationCarriesAPlainDownload) {
    ASSERT_TRUE(proxy_.Start()) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url().c_str()), KF_OK);
    ExpectDownloaded(StartPlainTask());
    EXPECT_GT(proxy_.TunnelsTo(nginx_.Port()), 0) << proxy_.LogText();
}

TEST_F(Socks5ProxyDownload, UserAndPasswordCarryTheServerSourceOfAP2spTask) {
    if (!test::HaveMktorrent()) {
        GTEST_SKIP() << "needs mktorrent (scripts/install-deps)";
    }
    ASSERT_TRUE(proxy_.Start("kfuser", "s3cret")) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url("kfuser", "s3cret").c_str()), KF_OK);
    ASSERT_EQ(EnableP2P(0), KF_OK);  // only the server source, so only the proxy can deliver
    ExpectDownloaded(StartP2spTask());
    EXPECT_GT(proxy_.TunnelsTo(nginx_.Port()), 0) << proxy_.LogText();
}

TEST_F(Socks5ProxyDownload, MissingCredentialsGetNoAcceptableMethodAndTheTaskEnds) {
    ASSERT_TRUE(proxy_.Start("kfuser", "s3cret")) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url().c_str()), KF_OK);
    ExpectEndsWithoutContent(StartPlainTask());
    EXPECT_EQ(proxy_.TunnelsTo(nginx_.Port()), 0) << proxy_.LogText();
}

TEST_F(Socks5ProxyDownload, TaskProxyTakesThePlaceOfTheEngineWideOne) {
    ASSERT_TRUE(proxy_.Start("kfuser", "s3cret")) << proxy_.LogText();
    // The engine-wide setting lacks the credentials: only the task's own proxy can open a tunnel.
    ASSERT_EQ(SetEngineProxy(proxy_.Url().c_str()), KF_OK);
    const KfTaskHandle task = StartPlainTask();
    ASSERT_NE(task, nullptr);
    ASSERT_EQ(SetTaskProxy(task, proxy_.Url("kfuser", "s3cret").c_str()), KF_OK);
    ExpectDownloaded(task);
    EXPECT_GT(proxy_.TunnelsTo(nginx_.Port()), 0) << proxy_.LogText();
}

TEST_F(Socks5ProxyDownload, EmptyAddressSwitchesTheProxyOff) {
    ASSERT_TRUE(proxy_.Start()) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url().c_str()), KF_OK);
    ASSERT_EQ(SetEngineProxy(""), KF_OK);
    ExpectDownloaded(StartPlainTask());
    EXPECT_EQ(proxy_.TunnelsTo(nginx_.Port()), 0) << proxy_.LogText();
}

// --- SOCKS4 and SOCKS4a --------------------------------------------------------------------------

class Socks4ProxyDownload : public ProxyDownload {
  protected:
    void SetUp() override {
        if (!DanteServer::Available() || !NginxServer::Available()) {
            GTEST_SKIP() << "needs dante-server and nginx (scripts/install-deps)";
        }
        ProxyDownload::SetUp();
        ServeOverHttp();
    }
    DanteServer proxy_;
};

TEST_F(Socks4ProxyDownload, Socks4CarriesAPlainDownload) {
    ASSERT_TRUE(proxy_.Start()) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url("socks4").c_str()), KF_OK);
    ExpectDownloaded(StartPlainTask());
    EXPECT_GT(proxy_.TunnelsTo(nginx_.Port()), 0) << proxy_.LogText();
}

// The engine resolves source names itself, so its SOCKS4a requests carry the address (the form
// this proxy takes); the host-name form is checked byte by byte in the connection tests.
TEST_F(Socks4ProxyDownload, Socks4aCarriesAPlainDownload) {
    ASSERT_TRUE(proxy_.Start()) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url("socks4a").c_str()), KF_OK);
    ExpectDownloaded(StartPlainTask());
    EXPECT_GT(proxy_.TunnelsTo(nginx_.Port()), 0) << proxy_.LogText();
}

TEST_F(Socks4ProxyDownload, RejectedRequestsEndTheTask) {
    ASSERT_TRUE(proxy_.Start(DanteServer::Rule::kRefuseAll)) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url("socks4").c_str()), KF_OK);
    ExpectEndsWithoutContent(StartPlainTask());
    // The source backs off between attempts: a few dozen in all, not hundreds a second.
    EXPECT_GT(proxy_.RefusalsFor(nginx_.Port()), 0) << proxy_.LogText();
    EXPECT_LT(proxy_.RefusalsFor(nginx_.Port()), 200);
    EXPECT_EQ(proxy_.TunnelsTo(nginx_.Port()), 0);
}

// --- FTP through SOCKS5
// ---------------------------------------------------------------------------

class FtpProxyDownload : public ProxyDownload {
  protected:
    void SetUp() override {
        if (!MicrosocksServer::Available() || !FtpServer::Available()) {
            GTEST_SKIP() << "needs microsocks and pyftpdlib (scripts/install-deps)";
        }
        ProxyDownload::SetUp();
        ASSERT_TRUE(ftp_.Start(www_.Path())) << ftp_.LogText();
        source_url_ = ftp_.Url("/file.bin");
    }
    FtpServer ftp_;
    MicrosocksServer proxy_;
};

// The FTP peer connects its passive data connections with the engine-wide proxy too, so both the
// control and the data connections are tunnels.
TEST_F(FtpProxyDownload, ControlAndDataConnectionsGoThroughSocks5) {
    ASSERT_TRUE(proxy_.Start("kfuser", "s3cret")) << proxy_.LogText();
    ASSERT_EQ(SetEngineProxy(proxy_.Url("kfuser", "s3cret").c_str()), KF_OK);
    ExpectDownloaded(StartPlainTask());
    const int32_t control = proxy_.TunnelsTo(ftp_.Port());
    EXPECT_GT(control, 0) << proxy_.LogText();
    EXPECT_GT(proxy_.Tunnels(), control) << "no data connection went through the proxy\n"
                                         << proxy_.LogText() << ftp_.LogText();
}

// --- Names only the proxy can resolve
// -------------------------------------------------------------

// This machine's resolver knows no name at all (a stub: nothing leaves the machine), while the
// proxy resolves "mirror.example" itself. A source by that name is left to the proxy instead of
// ending the task with 20216, for HTTP and for FTP (control and data connections by name).
class ProxyResolvedNameDownload : public ProxyDownload {
  protected:
    static constexpr const char* kName = "mirror.example";

    void SetUp() override {
        if (!NginxServer::Available() || !FtpServer::Available()) {
            GTEST_SKIP() << "needs nginx and pyftpdlib (scripts/install-deps)";
        }
        ProxyDownload::SetUp();
        HostResolver::Engine().SetLookupFunction([](const std::string&) {
            return HostLookupAnswer{HostResolver::kHostNotFound, {}};
        });
        ASSERT_TRUE(proxy_.Start());
    }
    void TearDown() override {
        ProxyDownload::TearDown();
        HostResolver::Engine().SetLookupFunction(nullptr);
        HostResolver::Engine().ClearUnresolvableHosts();
    }

    bool ProxyWasAskedFor(int32_t port) const {
        const std::vector<std::string> requests = proxy_.Requests();
        return std::count(requests.begin(), requests.end(),
                          std::string(kName) + ":" + std::to_string(port)) > 0;
    }

    test::NamingSocksProxy proxy_{{kName}};
};

TEST_F(ProxyResolvedNameDownload, HttpSourceByNameGoesThroughTheProxy) {
    ServeOverHttp();
    source_url_ =
        "http://" + std::string(kName) + ":" + std::to_string(nginx_.Port()) + "/file.bin";
    ASSERT_EQ(SetEngineProxy(proxy_.Url().c_str()), KF_OK);
    ExpectDownloaded(StartPlainTask());
    EXPECT_TRUE(ProxyWasAskedFor(nginx_.Port()));
}

TEST_F(ProxyResolvedNameDownload, FtpSourceByNameGoesThroughTheProxy) {
    FtpServer ftp;
    ASSERT_TRUE(ftp.Start(www_.Path())) << ftp.LogText();
    source_url_ = "ftp://" + std::string(kName) + ":" + std::to_string(ftp.Port()) + "/file.bin";
    ASSERT_EQ(SetEngineProxy(proxy_.Url().c_str()), KF_OK);
    ExpectDownloaded(StartPlainTask());
    EXPECT_TRUE(ProxyWasAskedFor(ftp.Port()));
    // The data connections went by name as well, to the ports the server named.
    EXPECT_GT(proxy_.Requests().size(), 1u);
}

TEST_F(ProxyResolvedNameDownload, WithoutAProxyTheNameEndsTheTask) {
    ServeOverHttp();
    source_url_ =
        "http://" + std::string(kName) + ":" + std::to_string(nginx_.Port()) + "/file.bin";
    const KfTaskHandle task = StartPlainTask();
    ASSERT_TRUE(WaitUntil([&] { return Info(task).status != 0; }, 20s));
    EXPECT_EQ(Info(task).status, KF_STATUS_UNRESOLVABLE);
    EXPECT_TRUE(proxy_.Requests().empty());
}

// A swarm whose metainfo names its trackers by a name only the proxy knows. The HTTP tracker is
// announced to through the proxy by name, and the task finds its libtorrent seeder there (the
// peer connection goes through the proxy as well, by address); when the task stops, it takes
// itself off the tracker's list the same way. The UDP tracker of the same name cannot go through
// a proxy, and the task says so.
TEST_F(ProxyResolvedNameDownload, HttpTrackerByNameGoesThroughTheProxy) {
    if (!test::OpenTracker::Available() || !test::HaveMktorrent() ||
        !test::LibtorrentPeer::Available()) {
        GTEST_SKIP()
            << "needs opentracker, mktorrent and python3-libtorrent (scripts/install-deps)";
    }
    const std::string hash = test::TorrentInfoHashHex(test::MakeTorrent(
        www_ / "file.bin", 16, meta_ / "first.torrent", {"http://127.0.0.1:1/a"}));
    test::OpenTracker tracker;
    ASSERT_TRUE(tracker.Start({hash})) << tracker.LogText();
    const std::string port = std::to_string(tracker.Port());
    const std::string http_url = "http://" + std::string(kName) + ":" + port + "/announce";
    const std::string udp_url = "udp://" + std::string(kName) + ":" + port + "/announce";
    const std::string torrent = meta_ / "named.torrent";
    ASSERT_FALSE(test::MakeTorrent(www_ / "file.bin", 16, torrent, {http_url, udp_url}).empty());
    ASSERT_FALSE(test::MakeTorrent(www_ / "file.bin", 16, meta_ / "seed.torrent",
                                   {tracker.HttpAnnounceUrl()})
                     .empty());
    test::LibtorrentPeer seeder;
    ASSERT_TRUE(seeder.Start(test::LibtorrentPeer::Role::kSeeder, meta_ / "seed.torrent",
                             www_.Path(), {.address = "127.0.0.2", .seed_mode = true}));
    ASSERT_TRUE(tracker.WaitForPeer(hash, seeder.Endpoint(), 20s)) << seeder.LogText();

    test::NamingSocksProxy proxy({kName}, true);
    ASSERT_TRUE(proxy.Start());
    test::NoticeRecorder notices;
    ASSERT_EQ(SetEngineProxy(proxy.Url().c_str()), KF_OK);
    ASSERT_EQ(SetListenAddress("127.0.0.3"), KF_OK);
    const int32_t listen_port = test::FreeTcpPort();
    SetListenPort(listen_port);
    EnableP2P(1);
    sources_.clear();
    TaskParams params =
        test::P2spTaskParams(torrent, sources_.c_str(), Target(), out_ / "file.kfinfo");
    ASSERT_EQ(CreateAndStartTask(&params), KF_OK);
    task_ = params.handle;
    SetTaskConnectionLimits(task_, 49, 52);
    ASSERT_TRUE(WaitUntil([&] { return Complete(task_); }, 60s))
        << notices.Text() << seeder.LogText();
    EXPECT_GE(Info(task_).bt_bytes, static_cast<int64_t>(kFileSize));
    // The tracker saw the task come from the proxy.
    const test::TrackerPeer listed{"127.0.0.1", listen_port};
    ASSERT_TRUE(tracker.WaitForPeer(hash, listed, 10s));
    ASSERT_EQ(StopTask(task_, 0), KF_OK);
    task_ = nullptr;
    EXPECT_TRUE(test::ReadWholeFile(Target()) == content_);
    const std::vector<std::string> asked = proxy.Requests();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), std::string(kName) + ":" + port), 2);
    EXPECT_NE(std::find(asked.begin(), asked.end(), seeder.EndpointText()), asked.end());
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::vector<test::TrackerPeer> peers = tracker.Peers(hash);
            return std::find(peers.begin(), peers.end(), listed) == peers.end();
        },
        5s));

    const std::vector<KfNotice> answers = notices.OfKind(KF_NOTICE_TRACKER_ANSWER);
    ASSERT_FALSE(answers.empty()) << notices.Text();
    EXPECT_EQ(std::string(answers[0].address), http_url);
    EXPECT_GE(answers[0].number, 1);
    const std::vector<KfNotice> failed = notices.OfKind(KF_NOTICE_TRACKER_FAILED);
    ASSERT_EQ(failed.size(), 1u) << notices.Text();
    EXPECT_EQ(std::string(failed[0].address), udp_url);
    EXPECT_EQ(
        std::string(failed[0].text),
        "udp tracker " + std::string(kName) + " needs a local address: the proxy cannot carry UDP");
    SetListenAddress(nullptr);
    EnableP2P(0);
}

// --- kfget ---------------------------------------------------------------------------------------

const std::string kKfget = std::string(KF_BINARY_DIR) + "/kfget";

class KfgetProxy : public ::testing::Test {
  protected:
    // Runs kfget (bounded) with `args`; answers its exit code and keeps its output.
    int Run(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {kKfget};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string output = dir_ / "kfget.out";
        test::WriteFile(output, "");
        const int code = test::RunProgram(argv, 120s, output);
        output_ = test::ReadWholeFile(output);
        return code;
    }

    TempDir dir_;
    std::string output_;
};

TEST_F(KfgetProxy, AddressItCannotUseExitsOneWithASentence) {
    // None of these is looked up anywhere: unknown scheme, port out of range, no host, an
    // unusable address.
    for (const std::string bad : {"ftp://127.0.0.1:2121", "socks5://127.0.0.1:0",
                                  "socks5://127.0.0.1:99999", "http://", "socks4://0.0.0.0:1080"}) {
        EXPECT_EQ(Run({"-q", "--no-p2p", "--proxy", bad, "--source", "http://127.0.0.1:1/file.bin",
                       "-o", dir_.Path()}),
                  1)
            << bad << ": " << output_;
        EXPECT_NE(output_.find("kfget: not a proxy address kfget understands: " + bad),
                  std::string::npos)
            << output_;
    }
}

TEST_F(KfgetProxy, DownloadsThroughTheGivenProxy) {
    if (!NginxServer::Available() || !MicrosocksServer::Available()) {
        GTEST_SKIP() << "needs nginx and microsocks (scripts/install-deps)";
    }
    TempDir www;
    const std::string content = test::RandomBytes(kFileSize, 99);
    ASSERT_TRUE(test::WriteFile(www / "file.bin", content));
    NginxServer nginx;
    ASSERT_TRUE(nginx.Start(www.Path())) << nginx.ErrorLogText();
    MicrosocksServer proxy;
    ASSERT_TRUE(proxy.Start("kfuser", "s3cret")) << proxy.LogText();
    EXPECT_EQ(Run({"-q", "--no-p2p", "--timeout", "60", "--proxy", proxy.Url("kfuser", "s3cret"),
                   "--source", nginx.Url("/file.bin"), "--file", dir_ / "got.bin"}),
              0)
        << output_;
    EXPECT_TRUE(test::ReadWholeFile(dir_ / "got.bin") == content);
    EXPECT_GT(proxy.TunnelsTo(nginx.Port()), 0) << proxy.LogText();
}

}  // namespace
}  // namespace kf
