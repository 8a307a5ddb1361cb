#include "tools/kfget/KfgetConsole.h"

#include <unistd.h>

#include <cstdio>

namespace kfget {
namespace {

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

// "a" or "a (b)" or "a: b".
std::string With(std::string head, const char* separator, const std::string& tail) {
    return tail.empty() ? head : head + separator + tail;
}

}  // namespace

KfgetConsole::KfgetConsole(bool quiet, bool notices)
    : quiet_(quiet), terminal_(isatty(STDERR_FILENO) == 1), notices_(notices) {}

void KfgetConsole::Show(const TaskInfoEx& ex, bool force) {
    if (quiet_) {
        return;
    }
    std::lock_guard hold(mutex_);
    const auto now = std::chrono::steady_clock::now();
    const auto period =
        terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000);
    if (!force && now - last_ < period) {
        return;
    }
    last_ = now;
    const TaskInfo& info = ex.info;
    const int64_t total = static_cast<int64_t>(info.total_kib) * 1024;
    const double percent = info.progress / 100.0;
    const std::string figures = Bytes(info.bytes_done) + "/" + (total > 0 ? Bytes(total) : "?") +
                                "  " + Bytes(info.speed) + "/s  ETA " +
                                Duration(info.seconds_left) + "  HTTP " + Bytes(info.http_bytes) +
                                "  BT " + Bytes(info.bt_bytes) + "  servers " +
                                std::to_string(ex.servers) + "  peers " + std::to_string(ex.peers);
    if (terminal_) {
        constexpr int kWidth = 30;
        const int filled = info.progress * kWidth / 10000;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kWidth - filled), '.');
        std::fprintf(stderr, "\r[%s] %5.1f%%  %s\033[K", bar.c_str(), percent, figures.c_str());
        line_open_ = true;
    } else {
        std::fprintf(stderr, "%5.1f%%  %s\n", percent, figures.c_str());
    }
    std::fflush(stderr);
}

void KfgetConsole::Finish() {
    std::lock_guard hold(mutex_);
    EndProgressLine();
}

void KfgetConsole::Line(const std::string& text) {
    std::lock_guard hold(mutex_);
    EndProgressLine();
    std::fprintf(stderr, "kfget: %s\n", text.c_str());
    std::fflush(stderr);
}

void KfgetConsole::EndProgressLine() {
    if (line_open_) {
        std::fputc('\n', stderr);
        line_open_ = false;
    }
}

void KfgetConsole::OnNotice(void* context, const KfNotice* notice) {
    auto* console = static_cast<KfgetConsole*>(context);
    if (console != nullptr && notice != nullptr && console->notices_) {
        console->Line(NoticeText(*notice));
    }
}

std::string KfgetConsole::NoticeText(const KfNotice& notice) {
    const std::string address = notice.address;
    const std::string text = notice.text;
    const std::string number = std::to_string(notice.number);
    switch (notice.kind) {
        case KF_NOTICE_TRACKER_ANSWER:
            return "tracker " + address + " answered with " + number +
                   (notice.number == 1 ? " peer" : " peers");
        case KF_NOTICE_TRACKER_FAILED:
            return With("tracker " + address + " failed", ": ", text);
        case KF_NOTICE_CONNECTED:
            return With("connected to " + address, " ", text.empty() ? "" : "(" + text + ")");
        case KF_NOTICE_DROPPED:
            return With("dropped " + address, ": ", text);
        case KF_NOTICE_PENALISED:
            return With("penalised " + address + " (penalty " + number + ")", ": ", text);
        case KF_NOTICE_BANNED:
            return With("banned " + address, ": ", text);
        case KF_NOTICE_PIECE_FAILED:
            return With("piece " + number + " failed its check", "",
                        address.empty() ? "" : " (data from " + address + ")");
        case KF_NOTICE_PROXY_REFUSED:
            return With("the proxy refused the connection to " + address, ": ", text);
        case KF_NOTICE_DISK_WAIT:
            return With("waiting for the disk", ": ", text);
        case KF_NOTICE_BLOCKED:
            return With("blocked " + address + " by the IP filter", ": ", text);
        default:
            return With("notice " + std::to_string(notice.kind) + " " + address, ": ", text);
    }
}

}  // namespace kfget
