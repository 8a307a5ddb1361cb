// kfget: downloads one task with the Kestrelfetch engine, driven only through its call interface.
#include <openssl/evp.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/kestrelfetch.h"
#include "tools/kfget/KfgetConsole.h"
#include "tools/kfget/KfgetOptions.h"
#include "tools/kfget/KfgetUpnp.h"

namespace {

// "DHT: 19 nodes (19 good), 412 messages in (48213 bytes), 397 out (35120 bytes)"
std::string DhtLine() {
    KfDhtCounters dht{};
    GetDhtCounters(&dht);
    return "DHT: " + std::to_string(dht.nodes) + " nodes (" + std::to_string(dht.good_nodes) +
           " good), " + std::to_string(dht.messages_in) + " messages in (" +
           std::to_string(dht.bytes_in) + " bytes), " + std::to_string(dht.messages_out) +
           " out (" + std::to_string(dht.bytes_out) + " bytes)";
}

using namespace kfget;

std::atomic<bool> interrupted{false};

void OnSignal(int) {
    interrupted = true;
}

std::string AbsolutePath(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    char cwd[KF_TEXT_MAX];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) {
        return path;
    }
    return std::string(cwd) + "/" + path;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

bool CopyField(char (&field)[KF_TEXT_MAX], const std::string& text, const char* what) {
    if (text.size() >= KF_TEXT_MAX) {
        std::fprintf(stderr, "kfget: %s is too long\n", what);
        return false;
    }
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

// What a status means, and what to try; `resume` is the download's resume file.
std::string StatusSentence(int32_t status, const std::string& resume) {
    switch (status) {
        case KF_STATUS_NO_METADATA:
            return "no metainfo could be had within 45 seconds: check the torrent address, the "
                   "trackers and the peers (kfget -v shows what they answered)";
        case KF_STATUS_DISK_FULL:
            return "the disk is full: free some space and run the same command with --recover";
        case KF_STATUS_TORRENT_UNREADABLE:
            return "the torrent file could not be read or is not a torrent: check its path";
        case KF_STATUS_NO_SOURCE:
            return "no source answered: check the addresses or the proxy (kfget -v shows each "
                   "attempt)";
        case KF_STATUS_WRITE_FAILED:
            return "data could not be written to the disk: check the folder's permissions and "
                   "the disk, then run the same command with --recover";
        case KF_STATUS_UNRESOLVABLE:
            return "a source's host name could not be resolved: check the name, the network, "
                   "or use a proxy that resolves names";
        case KF_STATUS_IN_USE:
            return "another download (here or in another process) uses the resume file " + resume +
                   ": wait for it to end, or give this one another --file or --resume";
        default:
            return "the task ended with status " + std::to_string(status);
    }
}

bool IsFatal(int32_t status) {
    return status == KF_STATUS_NO_METADATA || status == KF_STATUS_DISK_FULL ||
           status == KF_STATUS_TORRENT_UNREADABLE || status == KF_STATUS_NO_SOURCE ||
           status == KF_STATUS_WRITE_FAILED || status == KF_STATUS_IN_USE;
}

// Hex digest of a whole file with the named OpenSSL algorithm; empty when it cannot be read.
std::string FileDigest(const std::string& path, const char* algorithm) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return {};
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_get_digestbyname(algorithm), nullptr);
    std::vector<unsigned char> buffer(1 << 20);
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        EVP_DigestUpdate(context, buffer.data(), got);
    }
    const bool read_error = std::ferror(file) != 0;
    std::fclose(file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    if (read_error) {
        return {};
    }
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

bool DigestMatches(const std::string& path, const std::string& md5, const std::string& sha1) {
    for (const auto& [algorithm, want] : {std::pair<const char*, std::string>{"MD5", md5},
                                          std::pair<const char*, std::string>{"SHA1", sha1}}) {
        if (want.empty()) {
            continue;
        }
        const std::string got = FileDigest(path, algorithm);
        if (got.empty()) {
            std::fprintf(stderr, "kfget: cannot read %s to check its digest\n", path.c_str());
            return false;
        }
        if (strcasecmp(got.c_str(), want.c_str()) != 0) {
            std::fprintf(stderr, "kfget: %s does not match: expected %s %s, got %s\n", path.c_str(),
                         algorithm, want.c_str(), got.c_str());
            return false;
        }
        std::fprintf(stderr, "kfget: %s %s matches\n", algorithm, got.c_str());
    }
    return true;
}

// A name for what is being downloaded: the torrent's file name, else the last path segment of
// the first address (without a query), else "download".
std::string DownloadName(const KfgetOptions& options) {
    std::string name = !options.torrent.empty()       ? options.torrent
                       : !options.torrent_url.empty() ? options.torrent_url
                       : !options.sources.empty()     ? options.sources.front()
                                                      : std::string();
    name = name.substr(0, name.find('?'));
    name = name.substr(name.find_last_of('/') + 1);
    return name.empty() || name == "." || name == ".." ? "download" : name;
}

int Run(const KfgetOptions& options) {
    static TaskParams params;
    std::memset(&params, 0, sizeof(params));
    uint32_t flags = KF_FLAG_ACCEPTED;
    std::string target;
    if (!options.file_path.empty()) {
        target = AbsolutePath(options.file_path);
        flags |= KF_FLAG_FULL_PATH;
    } else {
        target = AbsolutePath(options.out_dir.empty() ? "." : options.out_dir);
        if (target.back() != '/') {
            target += '/';
        }
    }
    std::string resume = options.resume_path;
    if (resume.empty()) {
        // Beside the target: the target file's name, or a hidden file named after what is being
        // downloaded, so that downloads into one folder keep separate resume files.
        resume = options.file_path.empty() ? target + "." + DownloadName(options) + ".kfinfo"
                                           : target + ".kfinfo";
    }
    const std::string resume_path = AbsolutePath(resume);
    if (!options.torrent.empty()) {
        flags |= KF_FLAG_P2SP;
        if (!CopyField(params.torrent_location, "file://" + AbsolutePath(options.torrent),
                       "the torrent path")) {
            return kUsage;
        }
    }
    if (options.quick_check) {
        flags |= KF_FLAG_QUICK_CHECK;
    }
    std::vector<std::string> source_lines = options.sources;
    if (!options.torrent_url.empty()) {
        flags |= KF_FLAG_BT;  // the first source line is the metainfo's location
        source_lines.insert(source_lines.begin(), options.torrent_url);
    }
    const std::string sources = Joined(source_lines);
    params.sources = sources.c_str();
    params.flags = flags;
    if (!CopyField(params.target_path, target, "the target path") ||
        !CopyField(params.resume_path, resume_path, "the resume path")) {
        return kUsage;
    }

    if (options.verbosity >= 2) {
        // The engine's debug output goes to stderr under this switch, read at its first line.
        setenv("KESTRELFETCH_DEBUG", "1", 1);
    }
    CreateEngineLog();
    if (!options.log_dir.empty()) {
        struct stat folder {};
        if (stat(options.log_dir.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
            std::fprintf(stderr, "kfget: not a folder: %s\n", options.log_dir.c_str());
            ReleaseEngineLog();
            return kUsage;
        }
        const std::string prefix = AbsolutePath(options.log_dir) + "/kfget";
        EngineLogSetPathPrefix(prefix.c_str());
    }
    // Every channel reaches its file with --log-dir, and the debug output with -vv.
    EngineLogSetThresholds(options.log_dir.empty() ? 38 : 2, options.verbosity >= 2 ? 1 : 2);
    KfgetConsole console(options.quiet, options.verbosity >= 1);
    if (options.verbosity >= 1) {
        SetEngineNoticeCallback(&KfgetConsole::OnNotice, &console);
    }
    InitEngine(nullptr);
    SetListenPort(options.listen_port);
    if (SetListenAddress(options.bind_address.c_str()) != KF_OK) {
        std::fprintf(stderr, "kfget: not an IPv4 address: %s\n", options.bind_address.c_str());
        ReleaseEngineLog();
        CleanupEngine();
        return kUsage;
    }
    if (SetRendezvousServer(options.rendezvous_host.c_str(), options.rendezvous_port) != KF_OK) {
        std::fprintf(stderr, "kfget: not a rendezvous server: %s\n",
                     options.rendezvous_host.c_str());
        ReleaseEngineLog();
        CleanupEngine();
        return kUsage;
    }
    if (SetDhtBootstrapNodes(options.dht_bootstrap.c_str()) != KF_OK) {
        std::fprintf(stderr, "kfget: not a list of HOST:PORT: %s\n", options.dht_bootstrap.c_str());
        ReleaseEngineLog();
        CleanupEngine();
        return kUsage;
    }
    EnableDht(options.dht ? 1 : 0);
    // LAN discovery only where the user pointed it: an interface of its own choosing.
    const bool lan = options.lan && !options.lan_interface.empty();
    if (lan && SetLanInterface(options.lan_interface.c_str()) != KF_OK) {
        std::fprintf(stderr, "kfget: not an IPv4 address: %s\n", options.lan_interface.c_str());
        ReleaseEngineLog();
        CleanupEngine();
        return kUsage;
    }
    if (options.upnp) {
        // The mapping's port is remembered beside the download, as its resume file is.
        const std::string state =
            !options.upnp_state.empty()
                ? options.upnp_state
                : resume_path.substr(0, resume_path.rfind('/') + 1) + ".kfget-upnp-port";
        SetListenPort(KfgetUpnp::MapAndReport(options, state));
    }
    EnableLanDiscovery(lan ? 1 : 0);
    PreferUdpTransport(options.prefer_udp ? 1 : 0);
    EnableP2P(options.p2p ? 1 : 0);
    SetHttpWrappedHandshake(options.wrap_handshake ? 1 : 0);
    if (!options.proxy.empty() && SetEngineProxy(options.proxy.c_str()) != KF_OK) {
        std::fprintf(stderr, "kfget: not a proxy address kfget understands: %s\n",
                     options.proxy.c_str());
        ReleaseEngineLog();
        CleanupEngine();
        return kUsage;
    }

    if (!options.ip_filter.empty()) {
        const int32_t ranges = SetIpFilterFile(options.ip_filter.c_str());
        if (ranges < 0) {
            std::fprintf(stderr, "kfget: cannot read the IP filter file: %s\n",
                         options.ip_filter.c_str());
            ReleaseEngineLog();
            CleanupEngine();
            return kUsage;
        }
        if (!options.quiet) {
            std::fprintf(stderr, "kfget: IP filter: %d blocked ranges from %s\n", ranges,
                         options.ip_filter.c_str());
        }
    }

    const int32_t created =
        options.recover ? RecoverAndContinueTask(&params, 1) : CreateAndStartTask(&params);
    if (created != KF_OK) {
        std::fprintf(stderr, "kfget: the engine refused the task (code %d)\n", created);
        CleanupEngine();
        return kFailed;
    }
    KfTaskHandle task = params.handle;
    if (!options.proxy.empty()) {
        SetTaskProxy(task, options.proxy.c_str());
    }
    if (options.limit_kib > 0) {
        SetTaskSpeedLimit(task, 1, options.limit_kib);
    }
    // The engine allows no BT peer connection until the application sets a limit.
    SetTaskConnectionLimits(task, options.connections >= 0 ? options.connections : 49,
                            options.peers >= 0 ? options.peers : 52);
    SetTaskSeedingHours(task, options.seed_hours);
    if (!options.mirror_urls.empty()) {
        ClearMirrorSources(task);
        AddMirrorSources(task, Joined(options.mirror_urls).c_str(),
                         Joined(options.mirror_hosts).c_str());
    }

    const auto started = std::chrono::steady_clock::now();
    int result = kComplete;
    int32_t warned_status = 0;
    bool completed = false;
    bool external_known = false;
    auto last_dht_line = std::chrono::steady_clock::now();
    TaskInfoEx info;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (QueryTaskInfoEx(task, &info) != KF_OK) {
            result = kFailed;
            break;
        }
        // Running is read first: a task that has ended published its completion before.
        int32_t running = 1;
        IsTaskRunning(task, &running);
        int32_t complete = 0;
        IsTaskComplete(task, &complete);
        console.Show(info, complete != 0);
        // The DHT's state once a minute, for a user who wonders whether it found anyone.
        if (options.dht && options.verbosity >= 1 &&
            std::chrono::steady_clock::now() - last_dht_line >= std::chrono::seconds(60)) {
            last_dht_line = std::chrono::steady_clock::now();
            console.Line(DhtLine());
        }
        char external[32];
        if (!external_known && !options.rendezvous_host.empty() &&
            GetEngineExternalAddress(external, sizeof external) > 0) {
            external_known = true;
            if (!options.quiet) {
                console.Line(std::string("external address ") + external +
                             " (from the rendezvous server)");
            }
        }
        if (complete != 0 && !completed) {
            completed = true;
            if (options.seed && running != 0) {
                console.Line("download complete; seeding until ^C or the seeding time is over");
            }
        }
        if (complete != 0 && (!options.seed || running == 0)) {
            break;  // done, or done seeding
        }
        const int32_t status = info.info.status;
        if (IsFatal(status) || running == 0) {
            result = kFailed;
            break;
        }
        if (status != 0 && status != KF_STATUS_COMPLETE && status != warned_status &&
            !options.quiet) {
            console.Line("warning: " + StatusSentence(status, resume_path));
            warned_status = status;
        }
        if (interrupted) {
            result = kInterrupted;
            break;
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
        if (options.timeout_seconds > 0 && elapsed.count() >= options.timeout_seconds) {
            result = kTimedOut;
            break;
        }
    }
    // Stopping saves the resume record (or finishes the completed files).
    StopTask(task, 0);
    QueryTaskInfoEx(task, &info);
    console.Show(info, true);
    console.Finish();
    if (options.dht && !options.quiet) {
        console.Line(DhtLine());
    }
    SetEngineNoticeCallback(nullptr, nullptr);
    const bool complete = info.info.status == KF_STATUS_COMPLETE;
    if (result == kComplete && (!options.md5.empty() || !options.sha1.empty())) {
        const std::string path = options.file_path.empty() ? target + info.info.name : target;
        if (!DigestMatches(path, options.md5, options.sha1)) {
            result = kFailed;
        }
    }
    if (result == kFailed && complete) {
        // The download finished; the digest check above said what is wrong.
    } else if (result == kFailed) {
        console.Line("failed (status " + std::to_string(info.info.status) +
                     "): " + StatusSentence(info.info.status, resume_path));
    } else if (result == kTimedOut) {
        console.Line(complete
                         ? "the seeding time given by --timeout is over; the download is complete"
                         : "timed out; run the same command with --recover to go on");
    } else if (result == kInterrupted) {
        console.Line(complete ? "interrupted while seeding; the download is complete"
                              : "interrupted; run the same command with --recover to go on");
    }
    ReleaseEngineLog();
    CleanupEngine();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    KfgetOptions options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed == -1) {
        return kComplete;
    }
    if (parsed != kComplete) {
        std::fprintf(stderr, "Try 'kfget --help'.\n");
        return parsed;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (options.upnp && options.torrent.empty() && options.torrent_url.empty() &&
        options.sources.empty()) {
        return KfgetUpnp::RunAlone(options, interrupted);
    }
    return Run(options);
}
