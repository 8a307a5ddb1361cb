#include "app/platform/ProcessLauncher.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "app/platform/BusConnection.h"

namespace kf::app {

namespace {

// Tells the parent why the start failed, then ends this child. Only async-signal-safe calls.
[[noreturn]] void ReportAndExit(int pipe_fd, int error_number) {
    while (write(pipe_fd, &error_number, sizeof error_number) < 0 && errno == EINTR) {
    }
    _exit(127);
}

// The program's side of the second fork, up to its exec.
[[noreturn]] void StartProgram(int report_fd, const char* program, char* const* argv,
                               const char* working_folder) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        sigaction(signal_number, &default_action, nullptr);  // fails harmlessly for KILL, STOP
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (chdir(working_folder) != 0) {
        ReportAndExit(report_fd, errno == ENOENT ? ENOTDIR : errno);
    }
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0) {
        ReportAndExit(report_fd, errno);
    }
    if (null_fd != STDIN_FILENO) {
        if (dup2(null_fd, STDIN_FILENO) < 0) {
            ReportAndExit(report_fd, errno);
        }
        if (null_fd > STDERR_FILENO) {
            close(null_fd);
        }
    }
    // Everything above 2 closes at the exec; the report pipe stays open until then.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        ReportAndExit(report_fd, errno);
    }
    execv(program, argv);
    ReportAndExit(report_fd, errno);
}

// xdg-open's path on PATH, or empty.
std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const size_t colon = folders.find(':');
        const std::string_view folder = folders.substr(0, colon);
        const std::string candidate = (folder.empty() ? "." : std::string(folder)) + "/" + name;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string_view::npos) {
            return {};
        }
        folders.remove_prefix(colon + 1);
    }
}

std::string FileUri(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::strchr("-._~/", c) != nullptr) {
            uri += c;
        } else {
            uri += '%';
            uri += kHex[byte >> 4];
            uri += kHex[byte & 15];
        }
    }
    return uri;
}

// Asks the file manager to show `uri` (ShowItems selects a file, ShowFolders opens a folder).
bool AskFileManager(const std::string& bus_address, const char* method, const std::string& uri) {
    const auto connection =
        BusConnection::Open(BusConnection::Kind::kSession, bus_address, nullptr);
    if (connection == nullptr) {
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int status = sd_bus_call_method(
        connection->Bus(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
        "org.freedesktop.FileManager1", method, &error, &reply, "ass", 1, uri.c_str(), "");
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return status >= 0;
}

}  // namespace

ProcessLauncher::ProcessLauncher(std::string session_bus_address)
    : session_bus_address_(std::move(session_bus_address)) {}

int ProcessLauncher::ResultFor(int error_number) {
    switch (error_number) {
        case ENOENT:
            return 2;
        case ENOTDIR:
            return 3;
        case EACCES:
        case EPERM:
            return 5;
        case ENOMEM:
            return 8;
        case ENOEXEC:
            return 11;
        default:
            return kUnknownFailure;
    }
}

int ProcessLauncher::Open(const std::string& path, const std::string& working_folder) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return ResultFor(errno);
    }
    char magic[4] = {};
    const ssize_t length = pread(fd, magic, sizeof magic, 0);
    const int read_error = errno;
    struct stat info {};
    const bool executable =
        length >= 2 && (std::memcmp(magic, "#!", 2) == 0 || (length == 4 && std::memcmp(magic,
                                                                                        "\x7f"
                                                                                        "ELF",
                                                                                        4) == 0));
    if (executable && fstat(fd, &info) == 0) {
        // Execute where it may be read; a refusal shows as EACCES at the exec.
        fchmod(fd, (info.st_mode & 07777) | ((info.st_mode & 0444) >> 2));
    }
    close(fd);
    if (length < 0) {
        return ResultFor(read_error);
    }
    if (executable) {
        return Spawn(path, {path}, working_folder);
    }
    const std::string opener = FindOnPath("xdg-open");
    if (opener.empty()) {
        return kNoAssociation;
    }
    return Spawn(opener, {"xdg-open", path}, working_folder);
}

bool ProcessLauncher::ShowFolder(const std::string& folder, const std::string& select) {
    if (select.empty()
            ? AskFileManager(session_bus_address_, "ShowFolders", FileUri(folder))
            : AskFileManager(session_bus_address_, "ShowItems", FileUri(folder + "/" + select))) {
        return true;
    }
    const std::string opener = FindOnPath("xdg-open");
    return !opener.empty() && Spawn(opener, {"xdg-open", folder}, folder) == kLaunched;
}

int ProcessLauncher::Spawn(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& working_folder) {
    // Everything the children need is made before the fork: after it only async-signal-safe calls.
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return ResultFor(errno);
    }
    const pid_t first = fork();
    if (first < 0) {
        const int fork_error = errno;
        close(report[0]);
        close(report[1]);
        return ResultFor(fork_error);
    }
    if (first == 0) {
        close(report[0]);
        if (setsid() < 0) {
            ReportAndExit(report[1], errno);
        }
        const pid_t program_pid = fork();
        if (program_pid < 0) {
            ReportAndExit(report[1], errno);
        }
        if (program_pid == 0) {
            StartProgram(report[1], program.c_str(), argv.data(), working_folder.c_str());
        }
        _exit(0);
    }
    close(report[1]);
    while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
    }
    // The pipe reaches its end when the program's exec closed it, or holds the failure's errno.
    int error_number = 0;
    ssize_t got = 0;
    while ((got = read(report[0], &error_number, sizeof error_number)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    return got == sizeof error_number ? ResultFor(error_number) : kLaunched;
}

}  // namespace kf::app
