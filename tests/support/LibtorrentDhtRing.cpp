#include "support/LibtorrentDhtRing.h"

#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string_view>

#include "support/ContentFiles.h"
#include "support/EngineDriver.h"
#include "support/LibtorrentPeer.h"

namespace kf::test {

namespace {

constexpr const char* kPython = "/usr/bin/python3";
// The script answers a bounded command by its own clock; this covers the pipe and the pump.
constexpr std::chrono::milliseconds kAnswerMargin{5000};

std::vector<std::string> SplitOn(std::string_view text, char separator) {
    std::vector<std::string> parts;
    while (!text.empty()) {
        const size_t at = text.find(separator);
        if (at != 0) {
            parts.emplace_back(text.substr(0, at));
        }
        if (at == std::string_view::npos) {
            break;
        }
        text.remove_prefix(at + 1);
    }
    return parts;
}

// The `index`-th line that starts with `prefix`, without the prefix.
std::optional<std::string> NthLineWith(const std::string& log, std::string_view prefix, int index) {
    std::istringstream lines(log);
    std::string line;
    int seen = 0;
    while (std::getline(lines, line)) {
        if (line.starts_with(prefix) && seen++ == index) {
            return line.substr(prefix.size());
        }
    }
    return std::nullopt;
}

// "ping:2,get_peers:1" into counts by name.
std::map<std::string, int> ParseKinds(std::string_view text) {
    std::map<std::string, int> kinds;
    for (const std::string& item : SplitOn(text, ',')) {
        const size_t colon = item.rfind(':');
        if (colon != std::string::npos) {
            kinds[item.substr(0, colon)] = std::stoi(item.substr(colon + 1));
        }
    }
    return kinds;
}

// "a=1 b=x" into values by key.
std::map<std::string, std::string> ParseFields(std::string_view text) {
    std::map<std::string, std::string> fields;
    for (const std::string& item : SplitOn(text, ' ')) {
        const size_t equals = item.find('=');
        if (equals != std::string::npos) {
            fields[item.substr(0, equals)] = item.substr(equals + 1);
        }
    }
    return fields;
}

std::string ToHex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const uint8_t byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

std::optional<std::vector<uint8_t>> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const std::string pair(hex.substr(i, 2));
        if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoi(pair, nullptr, 16)));
    }
    return bytes;
}

std::string Seconds(std::chrono::milliseconds timeout) {
    return std::to_string(static_cast<double>(timeout.count()) / 1000.0);
}

}  // namespace

LibtorrentDhtRing::~LibtorrentDhtRing() {
    Stop();
}

bool LibtorrentDhtRing::Available() {
    return LibtorrentPeer::Available();
}

std::string LibtorrentDhtRing::ScriptPath() {
    // By the source folder's absolute path: a compiler cache may leave __FILE__ relative.
    return std::string(KF_TEST_SUPPORT_DIR) + "/lt_dht_ring.py";
}

bool LibtorrentDhtRing::Start(const Options& options) {
    if (!Available() || input_fd_ >= 0) {
        return false;
    }
    dir_ = std::make_unique<TempDir>();
    // A socket, not a pipe: a write after the script died fails instead of raising SIGPIPE.
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return false;
    }
    std::vector<std::string> argv = {
        kPython,           ScriptPath(),
        "--nodes",         std::to_string(options.nodes),
        "--first",         options.first_address,
        "--min-table",     std::to_string(options.min_table),
        "--ready-timeout", std::to_string(options.ready_timeout.count())};
    if (!options.seed_torrent.empty()) {
        argv.insert(argv.end(),
                    {"--torrent", options.seed_torrent, "--data", options.seed_data_dir});
    }
    const bool started = child_.Start(argv, *dir_ / "out.log", fds[1]);
    close(fds[1]);
    input_fd_ = fds[0];
    if (!started) {
        Stop();
        return false;
    }
    WaitUntil([&] { return LogHas("READY ") || LogHas("FAILED") || !child_.IsRunning(); },
              options.ready_timeout + std::chrono::seconds(20));
    const std::optional<std::string> ready = NthLineWith(LogText(), "READY ", 0);
    if (!ready) {
        Stop();
        return false;
    }
    const std::vector<std::string> words = SplitOn(*ready, ' ');
    endpoints_ = SplitOn(words.empty() ? "" : words[0], ',');
    const std::map<std::string, std::string> fields = ParseFields(*ready);
    ready_seconds_ = fields.contains("seconds") ? std::stod(fields.at("seconds")) : 0;
    return static_cast<int>(endpoints_.size()) == options.nodes;
}

void LibtorrentDhtRing::Stop() {
    if (input_fd_ >= 0) {
        // The end of its input makes the script close its sessions and exit.
        close(input_fd_);
        input_fd_ = -1;
        child_.WaitExit(std::chrono::milliseconds(5000));
    }
    child_.Stop(std::chrono::milliseconds(5000));
}

std::string LibtorrentDhtRing::BootstrapText() const {
    std::string text;
    for (const std::string& endpoint : endpoints_) {
        text += (text.empty() ? "" : ",") + endpoint;
    }
    return text;
}

std::optional<std::vector<std::string>> LibtorrentDhtRing::Nodes(
    std::chrono::milliseconds timeout) {
    const std::optional<std::string> answer = Ask("nodes", timeout);
    if (!answer || answer->starts_with("ERROR")) {
        return std::nullopt;
    }
    return SplitOn(*answer, ',');
}

bool LibtorrentDhtRing::AddNode(int node, const std::string& endpoint,
                                std::chrono::milliseconds timeout) {
    return Ask("add_node " + std::to_string(node) + " " + endpoint, timeout) == "OK";
}

std::optional<LibtorrentDhtRing::Lookup> LibtorrentDhtRing::GetPeers(
    int node, const std::string& info_hash_hex, std::chrono::milliseconds timeout) {
    const std::optional<std::string> answer =
        Ask("get_peers " + std::to_string(node) + " " + info_hash_hex + " " + Seconds(timeout),
            timeout + kAnswerMargin);
    if (!answer || !(answer->starts_with("DONE") || answer->starts_with("TIMEOUT"))) {
        return std::nullopt;
    }
    Lookup lookup;
    lookup.ended = answer->starts_with("DONE");
    const size_t space = answer->find(' ');
    if (space != std::string::npos) {
        lookup.peers = SplitOn(std::string_view(*answer).substr(space + 1), ',');
    }
    return lookup;
}

std::optional<std::vector<uint8_t>> LibtorrentDhtRing::Query(int node, const std::string& endpoint,
                                                             std::span<const uint8_t> bencoded,
                                                             std::chrono::milliseconds timeout) {
    const std::optional<std::string> answer =
        Ask("query " + std::to_string(node) + " " + endpoint + " " + ToHex(bencoded) + " " +
                Seconds(timeout),
            timeout + kAnswerMargin);
    if (!answer || !answer->starts_with("REPLY ")) {
        return std::nullopt;
    }
    return FromHex(std::string_view(*answer).substr(6));
}

std::optional<LibtorrentDhtRing::Counters> LibtorrentDhtRing::Stats(
    int node, std::chrono::milliseconds timeout) {
    const std::optional<std::string> answer = Ask("stats " + std::to_string(node), timeout);
    if (!answer || answer->starts_with("ERROR")) {
        return std::nullopt;
    }
    std::map<std::string, std::string> fields = ParseFields(*answer);
    Counters counters;
    for (auto [name, field] :
         {std::pair{"bytes_in", &Counters::bytes_in}, std::pair{"bytes_out", &Counters::bytes_out},
          std::pair{"messages_in", &Counters::messages_in},
          std::pair{"messages_out", &Counters::messages_out},
          std::pair{"nodes", &Counters::nodes}}) {
        if (!fields.contains(name)) {
            return std::nullopt;
        }
        counters.*field = std::stoll(fields[name]);
    }
    return counters;
}

std::optional<LibtorrentDhtRing::Traffic> LibtorrentDhtRing::TrafficWith(
    int node, const std::string& endpoint, std::chrono::milliseconds timeout) {
    const std::optional<std::string> answer =
        Ask("traffic " + std::to_string(node) + " " + endpoint, timeout);
    if (!answer || answer->starts_with("ERROR")) {
        return std::nullopt;
    }
    std::map<std::string, std::string> fields = ParseFields(*answer);
    Traffic traffic;
    traffic.queries_out = ParseKinds(fields["queries_out"]);
    traffic.replies_in = ParseKinds(fields["replies_in"]);
    traffic.queries_in = ParseKinds(fields["queries_in"]);
    traffic.errors_in = std::stoi(fields["errors_in"].empty() ? "0" : fields["errors_in"]);
    traffic.replies_out = std::stoi(fields["replies_out"].empty() ? "0" : fields["replies_out"]);
    return traffic;
}

std::string LibtorrentDhtRing::LogText() const {
    return dir_ == nullptr ? std::string() : ReadWholeFile(*dir_ / "out.log");
}

bool LibtorrentDhtRing::LogHas(const std::string& text) const {
    return LogText().find(text) != std::string::npos;
}

std::optional<std::string> LibtorrentDhtRing::Ask(const std::string& line,
                                                  std::chrono::milliseconds timeout) {
    if (input_fd_ < 0) {
        return std::nullopt;
    }
    const std::string command = line + "\n";
    if (send(input_fd_, command.data(), command.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(command.size())) {
        return std::nullopt;
    }
    // Answers come in the order asked: this command's is the asked_-th, even after a time-out.
    const int index = asked_++;
    std::optional<std::string> answer;
    WaitUntil(
        [&] {
            answer = NthLineWith(LogText(), "ANSWER ", index);
            return answer.has_value() || !child_.IsRunning();
        },
        timeout);
    return answer;
}

}  // namespace kf::test
