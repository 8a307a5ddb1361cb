// kfget: downloads one task with the Kestrelfetch engine, driven only through its call interface.
#include <openssl/evp.h>
#include <signal.h>
#include <strings.h>
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
#include "tools/kfget/KfgetOptions.h"

namespace {

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

const char* StatusSentence(int32_t status) {
    switch (status) {
        case KF_STATUS_NO_METADATA:
            return "no metainfo could be had within 45 seconds";
        case KF_STATUS_DISK_FULL:
            return "the disk is full";
        case KF_STATUS_TORRENT_UNREADABLE:
            return "the torrent file could not be read or is not a torrent";
        case KF_STATUS_NO_SOURCE:
            return "no source could deliver the file";
        case KF_STATUS_WRITE_FAILED:
            return "data could not be written to the disk";
        case KF_STATUS_UNRESOLVABLE:
            return "a source's host name could not be resolved";
        default:
            return "the task failed";
    }
}

bool IsFatal(int32_t status) {
    return status == KF_STATUS_NO_METADATA || status == KF_STATUS_DISK_FULL ||
           status == KF_STATUS_TORRENT_UNREADABLE || status == KF_STATUS_NO_SOURCE ||
           status == KF_STATUS_WRITE_FAILED;
}

std::string Bytes(int64_t bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string Duration(int64_t seconds) {
    char text[32];
    if (seconds <= 0) {
        return "--:--";
    }
    if (seconds >= 3600) {
        std::snprintf(
            text, sizeof(text), "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
            static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    } else {
        std::snprintf(text, sizeof(text), "%02lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    }
    return text;
}

// Live progress on a terminal (one redrawn line), else one plain line per second.
class ProgressView {
  public:
    ProgressView(bool quiet) : quiet_(quiet), terminal_(isatty(STDERR_FILENO) == 1) {}

    void Show(const TaskInfo& info, bool force) {
        if (quiet_) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        const auto period =
            terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000);
        if (!force && now - last_ < period) {
            return;
        }
        last_ = now;
        const int64_t total = static_cast<int64_t>(info.total_kib) * 1024;
        const double percent = info.progress / 100.0;
        const std::string figures = Bytes(info.bytes_done) + "/" +
                                    (total > 0 ? Bytes(total) : "?") + "  " + Bytes(info.speed) +
                                    "/s  ETA " + Duration(info.seconds_left) + "  HTTP " +
                                    Bytes(info.http_bytes) + "  BT " + Bytes(info.bt_bytes);
        if (terminal_) {
            constexpr int kWidth = 30;
            const int filled = info.progress * kWidth / 10000;
            std::string bar(static_cast<size_t>(filled), '#');
            bar.append(static_cast<size_t>(kWidth - filled), '.');
            std::fprintf(stderr, "\r[%s] %5.1f%%  %s\033[K", bar.c_str(), percent, figures.c_str());
        } else {
            std::fprintf(stderr, "%5.1f%%  %s\n", percent, figures.c_str());
        }
        std::fflush(stderr);
    }

    void Finish() {
        if (!quiet_ && terminal_) {
            std::fputc('\n', stderr);
        }
    }

  private:
    bool quiet_;
    bool terminal_;
    std::chrono::steady_clock::time_point last_{};
};

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
        !CopyField(params.resume_path, AbsolutePath(resume), "the resume path")) {
        return kUsage;
    }

    CreateEngineLog();
    InitEngine(nullptr);
    SetListenPort(options.listen_port);
    if (SetListenAddress(options.bind_address.c_str()) != KF_OK) {
        std::fprintf(stderr, "kfget: not an IPv4 address: %s\n", options.bind_address.c_str());
        ReleaseEngineLog();
        CleanupEngine();
        return kUsage;
    }
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

    ProgressView view(options.quiet);
    const auto started = std::chrono::steady_clock::now();
    int result = kComplete;
    int32_t warned_status = 0;
    TaskInfo info;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (QueryTaskInfo(task, &info) != KF_OK) {
            result = kFailed;
            break;
        }
        // Running is read first: a task that has ended published its completion before.
        int32_t running = 1;
        IsTaskRunning(task, &running);
        int32_t complete = 0;
        IsTaskComplete(task, &complete);
        view.Show(info, complete != 0);
        if (complete != 0 && (!options.seed || running == 0)) {
            break;  // done, or done seeding
        }
        if (IsFatal(info.status) || running == 0) {
            result = kFailed;
            break;
        }
        if (info.status != 0 && info.status != warned_status && !options.quiet) {
            view.Finish();
            std::fprintf(stderr, "kfget: warning: %s\n", StatusSentence(info.status));
            warned_status = info.status;
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
    QueryTaskInfo(task, &info);
    view.Show(info, true);
    view.Finish();
    if (result == kComplete && (!options.md5.empty() || !options.sha1.empty())) {
        const std::string path = options.file_path.empty() ? target + info.name : target;
        if (!DigestMatches(path, options.md5, options.sha1)) {
            result = kFailed;
        }
    }
    if (result == kFailed && info.status == KF_STATUS_COMPLETE) {
        // The download finished; the digest check above said what is wrong.
    } else if (result == kFailed) {
        std::fprintf(stderr, "kfget: failed (status %d): %s\n", info.status,
                     StatusSentence(info.status));
    } else if (result == kTimedOut) {
        std::fprintf(stderr, "kfget: timed out after %.0f s; the resume file is kept\n",
                     options.timeout_seconds);
    } else if (result == kInterrupted) {
        std::fprintf(stderr, "kfget: interrupted; the resume file is kept\n");
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
    return Run(options);
}
