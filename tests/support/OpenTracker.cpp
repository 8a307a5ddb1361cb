#include "support/OpenTracker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "engine/content/TTorrent.h"
#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

constexpr uint64_t kUdpProtocolId = 0x41727101980ULL;
constexpr int32_t kProbePort = 9;
constexpr const char* kProbePeerId = "-KT0001-probeprobe01";

// Closes a descriptor when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

sockaddr_in Address(const std::string& ip, int32_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return address;
}

bool IsLoopback(const std::string& ip) {
    in_addr parsed{};
    return inet_pton(AF_INET, ip.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

void SetTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// A socket bound to `from` (any port) so that the tracker sees that address.
int BoundSocket(int type, const std::string& from) {
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) {
        return -1;
    }
    const sockaddr_in local = Address(from, 0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        close(fd);
        return -1;
    }
    SetTimeout(fd, std::chrono::milliseconds(2000));
    return fd;
}

bool UdpPortFree(int32_t port) {
    Fd fd(socket(AF_INET, SOCK_DGRAM, 0));
    const sockaddr_in address = Address("127.0.0.1", port);
    return fd.get() >= 0 &&
           bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

std::string HexToBytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string PercentEscaped(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        out += '%';
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

void PutBig(std::string& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
}

uint64_t GetBig(const std::string& in, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | static_cast<uint8_t>(in[at + static_cast<size_t>(i)]);
    }
    return value;
}

std::vector<TrackerPeer> CompactPeers(const std::string& bytes) {
    std::vector<TrackerPeer> peers;
    for (size_t at = 0; at + 6 <= bytes.size(); at += 6) {
        char text[INET_ADDRSTRLEN] = {};
        in_addr ip{};
        std::memcpy(&ip, bytes.data() + at, 4);
        inet_ntop(AF_INET, &ip, text, sizeof(text));
        peers.push_back({text, static_cast<int32_t>(GetBig(bytes, at + 4, 2))});
    }
    return peers;
}

// One request/answer exchange over UDP with the tracker; empty when nothing came back.
std::string UdpExchange(int fd, const sockaddr_in& tracker, const std::string& request) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (sendto(fd, request.data(), request.size(), 0,
                   reinterpret_cast<const sockaddr*>(&tracker), sizeof(tracker)) < 0) {
            return {};
        }
        char buffer[4096];
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got > 0) {
            return std::string(buffer, static_cast<size_t>(got));
        }
    }
    return {};
}

uint32_t NewTransactionId() {
    static std::mt19937 gen(std::random_device{}());
    return static_cast<uint32_t>(gen());
}

// The connection id of a BEP 15 connect exchange, or nullopt.
std::optional<uint64_t> UdpConnect(int fd, const sockaddr_in& tracker) {
    const uint32_t tid = NewTransactionId();
    std::string request;
    PutBig(request, kUdpProtocolId, 8);
    PutBig(request, 0, 4);
    PutBig(request, tid, 4);
    const std::string reply = UdpExchange(fd, tracker, request);
    if (reply.size() < 16 || GetBig(reply, 0, 4) != 0 || GetBig(reply, 4, 4) != tid) {
        return std::nullopt;
    }
    return GetBig(reply, 8, 8);
}

int32_t EventCode(const std::string& event) {
    if (event == "completed") {
        return 1;
    }
    if (event == "started") {
        return 2;
    }
    if (event == "stopped") {
        return 3;
    }
    return 0;
}

std::string PeerIdOf(const TrackerAnnounce& query) {
    std::string id = query.peer_id.empty() ? kProbePeerId : query.peer_id;
    id.resize(20, '0');
    return id;
}

// Integer value following `key` (e.g. "8:complete") in a bencoded text, or -1.
int64_t BencodedInteger(const std::string& text, const std::string& key) {
    const size_t at = text.find(key + "i");
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtoll(text.c_str() + at + key.size() + 1, nullptr, 10);
}

// String value following `key` in a bencoded text, or nullopt.
std::optional<std::string> BencodedString(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    size_t pos = at + key.size();
    size_t length = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        length = length * 10 + static_cast<size_t>(text[pos] - '0');
        ++pos;
    }
    if (pos >= text.size() || text[pos] != ':' || pos + 1 + length > text.size()) {
        return std::nullopt;
    }
    return text.substr(pos + 1, length);
}

// The body of an HTTP/1.0 GET to the tracker, sent from `from`; nullopt on failure.
std::optional<std::string> HttpGet(int32_t port, const std::string& from,
                                   const std::string& target) {
    Fd fd(BoundSocket(SOCK_STREAM, from));
    const sockaddr_in tracker = Address("127.0.0.1", port);
    if (fd.get() < 0 ||
        connect(fd.get(), reinterpret_cast<const sockaddr*>(&tracker), sizeof(tracker)) != 0) {
        return std::nullopt;
    }
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return std::nullopt;
    }
    std::string response;
    char buffer[4096];
    // Bounded: the tracker's replies are small and it closes after one.
    for (int reads = 0; reads < 256; ++reads) {
        const ssize_t got = recv(fd.get(), buffer, sizeof(buffer), 0);
        if (got <= 0) {
            break;
        }
        response.append(buffer, static_cast<size_t>(got));
    }
    const size_t body = response.find("\r\n\r\n");
    if (body == std::string::npos) {
        return std::nullopt;
    }
    return response.substr(body + 4);
}

bool WaitUntil(std::chrono::milliseconds timeout, const auto& condition) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

OpenTracker::~OpenTracker() {
    Stop();
}

bool OpenTracker::Available() {
    return access(kDefaultBinary, X_OK) == 0;
}

bool OpenTracker::Start(const std::vector<std::string>& info_hashes_hex,
                        std::chrono::milliseconds timeout) {
    // The free port may be taken before opentracker binds it: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (StartOnce(info_hashes_hex, timeout)) {
            return true;
        }
        Stop();
    }
    return false;
}

bool OpenTracker::StartOnce(const std::vector<std::string>& info_hashes_hex,
                            std::chrono::milliseconds timeout) {
    if (!Available()) {
        return false;
    }
    dir_ = std::make_unique<TempDir>();
    // As root it chroots here and drops to "nobody", who must still read the whitelist on SIGHUP.
    chmod(dir_->Path().c_str(), 0755);
    whitelist_ = info_hashes_hex;
    if (!WriteWhitelist()) {
        return false;
    }
    port_ = 0;
    for (int probe = 0; probe < 20 && port_ == 0; ++probe) {
        const int32_t candidate = FreeTcpPort();
        if (candidate != 0 && UdpPortFree(candidate)) {
            port_ = candidate;
        }
    }
    if (port_ == 0) {
        return false;
    }
    const std::string whitelist_arg = geteuid() == 0 ? "/whitelist.txt" : *dir_ / "whitelist.txt";
    const std::string port_text = std::to_string(port_);
    if (!child_.Start({kDefaultBinary, "-i", "127.0.0.1", "-p", port_text, "-P", port_text, "-d",
                       dir_->Path(), "-w", whitelist_arg},
                      *dir_ / "stdout.log")) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!child_.WaitForListener(port_, timeout)) {
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    if (info_hashes_hex.empty()) {
        return WaitUntil(left, [&] {
            Fd fd(BoundSocket(SOCK_DGRAM, "127.0.0.1"));
            return fd.get() >= 0 && UdpConnect(fd.get(), Address("127.0.0.1", port_)).has_value();
        });
    }
    return WaitUntil(left, [&] { return ProbeAccepted(info_hashes_hex.front()); });
}

bool OpenTracker::ProbeAccepted(const std::string& info_hash_hex) const {
    // Only an announce that adds a peer proves the whitelist was read (a withdrawal can be
    // answered before it is); the probe peer is withdrawn at once, so it leaves nothing behind.
    TrackerAnnounce probe;
    probe.info_hash_hex = info_hash_hex;
    const auto reply = UdpAnnounce(probe);
    probe.event = "stopped";
    const bool accepted = reply.has_value() && reply->accepted;
    UdpAnnounce(probe);
    return accepted;
}

bool OpenTracker::WriteWhitelist() const {
    std::string text;
    for (const std::string& hash : whitelist_) {
        text += hash + "\n";
    }
    const std::string path = *dir_ / "whitelist.txt";
    if (!WriteFile(path, text)) {
        return false;
    }
    chmod(path.c_str(), 0644);
    return true;
}

bool OpenTracker::Allow(const std::string& info_hash_hex, std::chrono::milliseconds timeout) {
    if (dir_ == nullptr || !child_.IsRunning()) {
        return false;
    }
    if (std::find(whitelist_.begin(), whitelist_.end(), info_hash_hex) == whitelist_.end()) {
        whitelist_.push_back(info_hash_hex);
        if (!WriteWhitelist()) {
            return false;
        }
    }
    int round = 0;
    return WaitUntil(timeout, [&] {
        // Re-sent every half second until the reload shows: one that comes while it reloads may
        // be lost.
        if (round++ % 10 == 0) {
            kill(child_.Pid(), SIGHUP);
        }
        return ProbeAccepted(info_hash_hex);
    });
}

void OpenTracker::Stop() {
    child_.Stop(std::chrono::milliseconds(5000));
}

std::string OpenTracker::HttpAnnounceUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/announce";
}

std::string OpenTracker::UdpAnnounceUrl() const {
    return "udp://127.0.0.1:" + std::to_string(port_) + "/announce";
}

std::optional<TrackerReply> OpenTracker::UdpAnnounce(const TrackerAnnounce& query) const {
    if (!IsLoopback(query.from_address) || query.info_hash_hex.size() != 40) {
        return std::nullopt;
    }
    Fd fd(BoundSocket(SOCK_DGRAM, query.from_address));
    if (fd.get() < 0) {
        return std::nullopt;
    }
    const sockaddr_in tracker = Address("127.0.0.1", port_);
    const std::optional<uint64_t> connection = UdpConnect(fd.get(), tracker);
    if (!connection.has_value()) {
        return std::nullopt;
    }
    const uint32_t tid = NewTransactionId();
    std::string request;
    PutBig(request, *connection, 8);
    PutBig(request, 1, 4);
    PutBig(request, tid, 4);
    request += HexToBytes(query.info_hash_hex);
    request += PeerIdOf(query);
    PutBig(request, 0, 8);  // downloaded
    PutBig(request, static_cast<uint64_t>(query.left), 8);
    PutBig(request, 0, 8);  // uploaded
    PutBig(request, static_cast<uint64_t>(EventCode(query.event)), 4);
    PutBig(request, 0, 4);  // ip: the sender's
    PutBig(request, NewTransactionId(), 4);
    PutBig(request, 200, 4);  // numwant
    PutBig(request, static_cast<uint64_t>(query.port), 2);
    const std::string reply = UdpExchange(fd.get(), tracker, request);
    if (reply.size() < 8 || GetBig(reply, 0, 4) != 1 || GetBig(reply, 4, 4) != tid) {
        return std::nullopt;
    }
    TrackerReply out;
    // A refused hash gets only the action and transaction id back.
    if (reply.size() < 20) {
        return out;
    }
    out.accepted = true;
    out.leechers = static_cast<int64_t>(GetBig(reply, 12, 4));
    out.seeders = static_cast<int64_t>(GetBig(reply, 16, 4));
    out.peers = CompactPeers(reply.substr(20));
    return out;
}

std::optional<TrackerReply> OpenTracker::HttpAnnounce(const TrackerAnnounce& query) const {
    if (!IsLoopback(query.from_address) || query.info_hash_hex.size() != 40) {
        return std::nullopt;
    }
    std::string target =
        "/announce?info_hash=" + PercentEscaped(HexToBytes(query.info_hash_hex)) +
        "&peer_id=" + PercentEscaped(PeerIdOf(query)) + "&port=" + std::to_string(query.port) +
        "&uploaded=0&downloaded=0&left=" + std::to_string(query.left) + "&compact=1&numwant=200";
    if (!query.event.empty()) {
        target += "&event=" + query.event;
    }
    const std::optional<std::string> body = HttpGet(port_, query.from_address, target);
    if (!body.has_value()) {
        return std::nullopt;
    }
    TrackerReply out;
    if (body->find("failure reason") != std::string::npos) {
        return out;
    }
    const std::optional<std::string> peers = BencodedString(*body, "5:peers");
    if (!peers.has_value()) {
        return std::nullopt;
    }
    out.accepted = true;
    out.seeders = BencodedInteger(*body, "8:complete");
    out.leechers = BencodedInteger(*body, "10:incomplete");
    out.peers = CompactPeers(*peers);
    return out;
}

std::optional<TrackerCounts> OpenTracker::Scrape(const std::string& info_hash_hex) const {
    if (info_hash_hex.size() != 40) {
        return std::nullopt;
    }
    const std::optional<std::string> body = HttpGet(
        port_, "127.0.0.1", "/scrape?info_hash=" + PercentEscaped(HexToBytes(info_hash_hex)));
    if (!body.has_value() || body->find("8:complete") == std::string::npos) {
        return std::nullopt;
    }
    return TrackerCounts{.seeders = BencodedInteger(*body, "8:complete"),
                         .completed = BencodedInteger(*body, "10:downloaded"),
                         .leechers = BencodedInteger(*body, "10:incomplete")};
}

std::vector<TrackerPeer> OpenTracker::Peers(const std::string& info_hash_hex) const {
    TrackerAnnounce probe;
    probe.info_hash_hex = info_hash_hex;
    probe.port = kProbePort;
    const std::optional<TrackerReply> reply = UdpAnnounce(probe);
    probe.event = "stopped";
    UdpAnnounce(probe);
    if (!reply.has_value()) {
        return {};
    }
    std::vector<TrackerPeer> peers = reply->peers;
    std::erase(peers, TrackerPeer{"127.0.0.1", kProbePort});
    return peers;
}

bool OpenTracker::WaitForPeer(const std::string& info_hash_hex, const TrackerPeer& peer,
                              std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] {
        const std::vector<TrackerPeer> peers = Peers(info_hash_hex);
        return std::find(peers.begin(), peers.end(), peer) != peers.end();
    });
}

bool OpenTracker::WaitForSeeders(const std::string& info_hash_hex, int64_t seeders,
                                 std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] {
        const std::optional<TrackerCounts> counts = Scrape(info_hash_hex);
        return counts.has_value() && counts->seeders >= seeders;
    });
}

std::string OpenTracker::LogText() const {
    if (dir_ == nullptr) {
        return {};
    }
    std::ifstream in(*dir_ / "stdout.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TorrentInfoHashHex(const std::string& metainfo_bytes) {
    auto torrent = RefPtr<TTorrent>::Make(nullptr);
    const auto* data = reinterpret_cast<const uint8_t*>(metainfo_bytes.data());
    if (!torrent->ParseMetainfo(std::span<const uint8_t>(data, metainfo_bytes.size()))) {
        return {};
    }
    return torrent->info_hash_hex();
}

}  // namespace kf::test
