#include "support/LibtorrentPeer.h"

#include <unistd.h>

#include <filesystem>

#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

constexpr const char* kPython = "/usr/bin/python3";

}  // namespace

LibtorrentPeer::~LibtorrentPeer() {
    Stop();
}

bool LibtorrentPeer::Available() {
    static const bool available =
        access(kPython, X_OK) == 0 &&
        RunProgram({kPython, "-c", "import libtorrent"}, std::chrono::milliseconds(20000)) == 0;
    return available;
}

std::string LibtorrentPeer::ScriptPath() {
    // By the source folder's absolute path: a compiler cache may leave __FILE__ relative.
    return std::string(KF_TEST_SUPPORT_DIR) + "/lt_peer.py";
}

bool LibtorrentPeer::Start(Role role, const std::string& torrent_path, const std::string& save_dir,
                           const Options& options, std::chrono::milliseconds timeout) {
    if (!Available()) {
        return false;
    }
    dir_ = std::make_unique<TempDir>();
    address_ = options.address;
    // The port may be taken between the probe and the bind: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeTcpUdpPort(address_);
        if (port_ == 0) {
            return false;
        }
        std::vector<std::string> argv = {kPython,
                                         ScriptPath(),
                                         role == Role::kSeeder ? "seed" : "leech",
                                         "--torrent",
                                         torrent_path,
                                         "--save",
                                         save_dir,
                                         "--bind",
                                         address_,
                                         "--port",
                                         std::to_string(port_),
                                         "--time-limit",
                                         std::to_string(options.time_limit.count())};
        if (options.prefer_http) {
            argv.push_back("--prefer-http");
        }
        if (options.seed_mode) {
            argv.push_back("--seed-mode");
        }
        if (options.send_buffer > 0) {
            argv.push_back("--send-buffer");
            argv.push_back(std::to_string(options.send_buffer));
        }
        if (options.upload_limit > 0) {
            argv.push_back("--upload-limit");
            argv.push_back(std::to_string(options.upload_limit));
        }
        if (role == Role::kLeecher && options.exit_when_done) {
            argv.push_back("--exit-when-done");
        }
        for (const std::string& peer : options.connect_to) {
            argv.push_back("--peer");
            argv.push_back(peer);
        }
        std::filesystem::remove(*dir_ / "out.log");
        if (!child_.Start(argv, *dir_ / "out.log")) {
            return false;
        }
        const bool listening = WaitUntil(
            [&] {
                return LogHas("LISTENING " + address_ + ":" + std::to_string(port_) + " tcp") ||
                       LogHas("LISTEN_FAILED") || !child_.IsRunning();
            },
            timeout);
        if (listening && !LogHas("LISTEN_FAILED") && child_.IsRunning()) {
            return true;
        }
        child_.Stop(std::chrono::milliseconds(2000));
    }
    return false;
}

bool LibtorrentPeer::WaitSeeding(std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return LogHas("SEEDING") && LogHas("TRACKER_OK"); }, timeout);
}

bool LibtorrentPeer::WaitComplete(std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return LogHas("COMPLETE "); }, timeout);
}

void LibtorrentPeer::Stop() {
    child_.Stop(std::chrono::milliseconds(5000));
}

bool LibtorrentPeer::LogHas(const std::string& text) const {
    return LogText().find(text) != std::string::npos;
}

int LibtorrentPeer::LogCount(const std::string& text) const {
    const std::string log = LogText();
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        ++count;
    }
    return count;
}

int64_t LibtorrentPeer::Uploaded() const {
    const std::string log = LogText();
    const size_t at = log.rfind("UPLOADED ");
    return at == std::string::npos ? -1 : std::stoll(log.substr(at + 9));
}

std::string LibtorrentPeer::LogText() const {
    return dir_ == nullptr ? std::string() : ReadWholeFile(*dir_ / "out.log");
}

}  // namespace kf::test
