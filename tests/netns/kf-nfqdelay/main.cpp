// kf-nfqdelay: holds every packet of one NFQUEUE for a fixed time, then accepts it, optionally
// dropping a share at random: the tests' stand-in for a slow, lossy line where the kernel has no
// netem. Prints "ready" once the queue is bound (until then the rule sending packets to the queue
// drops them all) and its counts when SIGTERM or SIGINT ends it; held packets are accepted
// before it exits.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "HeldPackets.h"
#include "NfQueue.h"
#include "NfqDelayOptions.h"

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// SIGTERM and SIGINT as a descriptor, so that the loop's poll sees them and nothing runs in a
// handler. Closed (and the signals unblocked) at the end of the scope.
class StopSignals {
  public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        sigprocmask(SIG_BLOCK, &set_, nullptr);
        fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    ~StopSignals() {
        if (fd_ >= 0) {
            close(fd_);
        }
        sigprocmask(SIG_UNBLOCK, &set_, nullptr);
    }
    int fd() const { return fd_; }
    // Takes the pending signal, so that unblocking at the end does not deliver it again.
    void Consume() {
        signalfd_siginfo info;
        while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
    }

  private:
    sigset_t set_;
    int fd_ = -1;
};

int Run(const kf::NfqDelayOptions& options) {
    StopSignals stop;
    if (stop.fd() < 0) {
        std::perror("kf-nfqdelay: signalfd");
        return 1;
    }
    std::string error;
    std::unique_ptr<kf::NfQueue> queue = kf::NfQueue::Open(options.queue, &error);
    if (!queue) {
        std::fprintf(stderr, "kf-nfqdelay: %s\n", error.c_str());
        return 1;
    }
    kf::HeldPackets held(static_cast<size_t>(options.capacity));
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> percent(0, 99);
    uint64_t passed = 0, lost = 0, overflow = 0;
    auto on_packet = [&](uint32_t id) {
        if (percent(random) < options.loss_percent) {
            ++lost;
            queue->Verdict(id, false);
        } else if (!held.Hold(id, NowMs() + options.delay_ms)) {
            ++overflow;
            queue->Verdict(id, false);
        }
    };
    std::printf("kf-nfqdelay: queue %u, delay %d ms, loss %d %%: ready\n", options.queue,
                options.delay_ms, options.loss_percent);
    std::fflush(stdout);
    int status = 0;
    for (;;) {
        int64_t now = NowMs();
        while (std::optional<uint32_t> id = held.TakeDue(now)) {
            queue->Verdict(*id, true);
            ++passed;
        }
        std::optional<int64_t> wait = held.WaitMs(now);
        pollfd fds[2] = {{queue->fd(), POLLIN, 0}, {stop.fd(), POLLIN, 0}};
        if (poll(fds, 2, wait ? static_cast<int>(*wait) : -1) < 0 && errno != EINTR) {
            std::perror("kf-nfqdelay: poll");
            status = 1;
            break;
        }
        if (fds[1].revents != 0) {
            stop.Consume();
            break;
        }
        if (fds[0].revents != 0 && !queue->ReadPackets(on_packet)) {
            std::perror("kf-nfqdelay: recv");
            status = 1;
            break;
        }
    }
    // Nothing held is lost on the way out: the queue's packets go on at once.
    while (std::optional<uint32_t> id = held.TakeAny()) {
        queue->Verdict(*id, true);
        ++passed;
    }
    std::printf("kf-nfqdelay: passed %llu, lost %llu, overflow %llu, overruns %llu\n",
                static_cast<unsigned long long>(passed), static_cast<unsigned long long>(lost),
                static_cast<unsigned long long>(overflow),
                static_cast<unsigned long long>(queue->overruns()));
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    auto parsed = kf::NfqDelayOptions::Parse(args);
    if (auto* reason = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr,
                     "kf-nfqdelay: %s\nusage: kf-nfqdelay --queue N [--delay-ms D] [--loss P] "
                     "[--capacity N]\n",
                     reason->c_str());
        return 2;
    }
    return Run(std::get<kf::NfqDelayOptions>(parsed));
}
