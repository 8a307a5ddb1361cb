#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "support/LoopbackPorts.h"

namespace kf::test {

namespace {

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& output_path,
                         int input_fd) {
    if (pid_ > 0 || argv.empty()) {
        return false;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const std::string out = output_path.empty() ? "/dev/null" : output_path;
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
        }
        if (input_fd >= 0) {
            dup2(input_fd, STDIN_FILENO);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    pid_ = pid;
    exit_code_ = -1;
    return true;
}

bool ChildProcess::IsRunning() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        exit_code_ = ExitCodeOf(status);
        pid_ = -1;
        return false;
    }
    return done == 0;
}

int ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (IsRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exit_code_;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (!IsRunning()) {
        return exit_code_;
    }
    kill(pid_, SIGTERM);
    if (WaitExit(grace) >= 0 || pid_ <= 0) {
        return exit_code_;
    }
    kill(pid_, SIGKILL);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) {
        exit_code_ = ExitCodeOf(status);
    }
    pid_ = -1;
    return exit_code_;
}

bool ChildProcess::WaitForListener(int32_t port, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!IsRunning()) {
            return false;
        }
        if (WaitForPort(port, std::chrono::milliseconds(50))) {
            return true;
        }
    }
    return false;
}

int RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
               const std::string& output_path) {
    ChildProcess child;
    if (!child.Start(argv, output_path)) {
        return -1;
    }
    const int code = child.WaitExit(timeout);
    if (code < 0) {
        child.Stop(std::chrono::milliseconds(1000));
        return -1;
    }
    return code;
}

}  // namespace kf::test
