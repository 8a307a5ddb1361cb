#include "app/platform/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <filesystem>
#include <thread>

namespace kf::app {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kReplyWait{1000};     // for the first instance's answer
constexpr milliseconds kTakeOverWait{2000};  // for the lock of a killed instance to fall
constexpr milliseconds kRequestWait{500};    // for a later instance's request, once connected
constexpr milliseconds kRetryPause{20};
constexpr const char* kLockName = "instance.lock";
constexpr const char* kSocketName = "instance.sock";
constexpr std::string_view kRequest = "show\n";
constexpr std::string_view kReply = "shown\n";

class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd& operator=(UniqueFd&&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A name in the data folder that fits sockaddr_un however long the folder's path is: the folder
// is reached through its descriptor.
sockaddr_un SocketAddress(int folder_fd) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path =
        "/proc/self/fd/" + std::to_string(folder_fd) + "/" + std::string(kSocketName);
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

// Sends "show" to the first instance and waits for its answer until `deadline`, connecting again
// while nothing listens yet (a first instance that has the lock but no socket yet).
bool AskToShow(int folder_fd, Clock::time_point deadline) {
    const sockaddr_un address = SocketAddress(folder_fd);
    while (Clock::now() < deadline) {
        UniqueFd socket_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (socket_fd.get() < 0) {
            return false;
        }
        if (connect(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0) {
            poll(nullptr, 0, static_cast<int>(kRetryPause.count()));
            continue;
        }
        if (send(socket_fd.get(), kRequest.data(), kRequest.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(kRequest.size())) {
            return false;
        }
        std::string answer;
        pollfd wait{socket_fd.get(), POLLIN, 0};
        while (answer.size() < kReply.size() && poll(&wait, 1, RemainingMs(deadline)) > 0) {
            char bytes[16];
            const ssize_t got = recv(socket_fd.get(), bytes, sizeof bytes, 0);
            if (got <= 0) {
                break;
            }
            answer.append(bytes, static_cast<size_t>(got));
        }
        return answer.starts_with(kReply);
    }
    return false;
}

pid_t ReadPid(int lock_fd) {
    char text[32] = {};
    const ssize_t length = pread(lock_fd, text, sizeof text - 1, 0);
    pid_t pid = 0;
    if (length <= 0 || std::from_chars(text, text + length, pid).ec != std::errc()) {
        return 0;
    }
    return pid;
}

std::string ExecutableOf(const std::string& process) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink("/proc/" + process + "/exe", error);
    return error ? std::string() : target.string();
}

// True only for another process running this very program file.
bool RunsThisProgram(pid_t pid) {
    if (pid <= 0 || pid == getpid()) {
        return false;
    }
    const std::string ours = ExecutableOf("self");
    return !ours.empty() && ExecutableOf(std::to_string(pid)) == ours;
}

bool WaitForLock(int lock_fd, Clock::time_point deadline) {
    while (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        if (Clock::now() >= deadline) {
            return false;
        }
        poll(nullptr, 0, static_cast<int>(kRetryPause.count()));
    }
    return true;
}

// The first instance: holds the lock and answers later instances on its socket.
class FirstInstance : public SingleInstance {
  public:
    FirstInstance(UniqueFd folder_fd, UniqueFd lock_fd, UniqueFd listen_fd, UniqueFd wake_fd,
                  std::function<void()> on_show)
        : folder_fd_(std::move(folder_fd)),
          lock_fd_(std::move(lock_fd)),
          listen_fd_(std::move(listen_fd)),
          wake_fd_(std::move(wake_fd)),
          on_show_(std::move(on_show)),
          listener_([this] { Listen(); }) {}

    ~FirstInstance() override {
        const uint64_t one = 1;
        while (write(wake_fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
        listener_.join();
        unlinkat(folder_fd_.get(), kSocketName, 0);
    }

  private:
    void Listen() {
        pollfd waits[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
        while (true) {
            if (poll(waits, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (waits[1].revents != 0) {
                return;
            }
            if (waits[0].revents != 0) {
                UniqueFd client(accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (client.get() >= 0) {
                    Answer(client.get());
                }
            }
        }
    }

    // One later instance: the window is shown before the answer, so that an answer means done.
    void Answer(int client) {
        pollfd wait{client, POLLIN, 0};
        char request[16] = {};
        if (poll(&wait, 1, static_cast<int>(kRequestWait.count())) <= 0 ||
            recv(client, request, sizeof request, 0) < static_cast<ssize_t>(kRequest.size()) ||
            std::string_view(request, kRequest.size()) != kRequest) {
            return;
        }
        if (on_show_) {
            on_show_();
        }
        send(client, kReply.data(), kReply.size(), MSG_NOSIGNAL);
    }

    UniqueFd folder_fd_;
    UniqueFd lock_fd_;  // its flock is the claim; it falls with the descriptor
    UniqueFd listen_fd_;
    UniqueFd wake_fd_;
    std::function<void()> on_show_;
    std::thread listener_;
};

}  // namespace

std::unique_ptr<SingleInstance> SingleInstance::Claim(const std::string& data_folder,
                                                      std::function<void()> on_show,
                                                      Outcome* outcome) {
    *outcome = Outcome::kFailed;
    std::error_code error;
    std::filesystem::create_directories(data_folder, error);
    UniqueFd folder_fd(open(data_folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder_fd.get() < 0) {
        return nullptr;
    }
    UniqueFd lock_fd(
        openat(folder_fd.get(), kLockName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (lock_fd.get() < 0) {
        return nullptr;
    }
    if (flock(lock_fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            return nullptr;
        }
        const auto deadline = Clock::now() + kReplyWait;
        if (AskToShow(folder_fd.get(), deadline)) {
            *outcome = Outcome::kOtherShown;
            return nullptr;
        }
        // No answer: the first instance hangs. Only a process of this program is ended.
        const pid_t first = ReadPid(lock_fd.get());
        if (!RunsThisProgram(first) || kill(first, SIGKILL) != 0 ||
            !WaitForLock(lock_fd.get(), Clock::now() + kTakeOverWait)) {
            return nullptr;
        }
    }

    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lock_fd.get(), 0) != 0 ||
        pwrite(lock_fd.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        return nullptr;
    }
    UniqueFd listen_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = SocketAddress(folder_fd.get());
    unlinkat(folder_fd.get(), kSocketName, 0);  // left by an instance that was killed
    if (listen_fd.get() < 0 ||
        bind(listen_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd.get(), 8) != 0) {
        // A first instance that no one can reach would be ended by the next one: give up now.
        return nullptr;
    }
    UniqueFd wake_fd(eventfd(0, EFD_CLOEXEC));
    if (wake_fd.get() < 0) {
        return nullptr;
    }
    *outcome = Outcome::kFirst;
    return std::make_unique<FirstInstance>(std::move(folder_fd), std::move(lock_fd),
                                           std::move(listen_fd), std::move(wake_fd),
                                           std::move(on_show));
}

}  // namespace kf::app
