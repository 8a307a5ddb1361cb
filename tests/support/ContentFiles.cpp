#include "support/ContentFiles.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace kf::test {

std::string RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i += 4) {
        const uint32_t v = gen();
        for (size_t k = 0; k < 4 && i + k < size; ++k) {
            out[i + k] = static_cast<char>(v >> (8 * k));
        }
    }
    return out;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool FileExists(const std::string& path) {
    return FileSize(path) >= 0;
}

int RunProgram(const std::vector<std::string>& argv, int timeout_seconds) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveMktorrent() {
    return RunProgram({"mktorrent", "-h"}, 10) == 0;
}

std::string MakeTorrent(const std::string& source, int log2_piece, const std::string& out) {
    ::unlink(out.c_str());
    if (RunProgram({"mktorrent", "-d", "-l", std::to_string(log2_piece), "-a",
                    "http://127.0.0.1:1/announce", "-o", out, source}) != 0) {
        return {};
    }
    return ReadWholeFile(out);
}

std::string MakeTorrent(const std::string& source, int log2_piece, const std::string& out,
                        const std::vector<std::string>& announce_urls) {
    ::unlink(out.c_str());
    std::vector<std::string> argv = {"mktorrent", "-d", "-p", "-l", std::to_string(log2_piece)};
    for (const std::string& url : announce_urls) {
        argv.push_back("-a");
        argv.push_back(url);
    }
    argv.insert(argv.end(), {"-o", out, source});
    if (RunProgram(argv) != 0) {
        return {};
    }
    return ReadWholeFile(out);
}

std::string MakeTrackerlessTorrent(const std::string& source, int log2_piece,
                                   const std::string& out) {
    ::unlink(out.c_str());
    if (RunProgram({"mktorrent", "-d", "-l", std::to_string(log2_piece), "-o", out, source}) != 0) {
        return {};
    }
    return ReadWholeFile(out);
}

}  // namespace kf::test
