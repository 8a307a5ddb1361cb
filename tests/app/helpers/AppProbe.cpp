// A helper program for the platform tests, in two roles.
//
// Started with no arguments it plays an installer: it writes "record.txt" into its working
// folder with what the launch gave it (session, working folder, open descriptors, standard
// input) and ends.
//
// "AppProbe instance DATA_FOLDER SHOW_LOG" claims the single instance for DATA_FOLDER and prints
// "first", "shown" or "failed" on a line of its own. The first instance appends "show" to SHOW_LOG
// for each later instance that asks, and runs until it is signalled; "shown" exits 0, "failed" 3.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/platform/SingleInstance.h"

namespace {

std::string Link(const char* path) {
    char target[PATH_MAX] = {};
    const ssize_t length = readlink(path, target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

int Record() {
    std::string fds;
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return 1;
    }
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(folder)) {
            fds += (fds.empty() ? "" : ",") + std::string(entry->d_name);
        }
    }
    closedir(folder);
    char cwd[PATH_MAX] = {};
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return 1;
    }
    const std::string text = "pid=" + std::to_string(getpid()) +
                             "\nsid=" + std::to_string(getsid(0)) + "\ncwd=" + cwd +
                             "\nfds=" + fds + "\nstdin=" + Link("/proc/self/fd/0") + "\n";
    // Written whole under another name first, so that a reader never sees half of it.
    FILE* out = std::fopen("record.tmp", "w");
    if (out == nullptr || std::fputs(text.c_str(), out) < 0 || std::fclose(out) != 0) {
        return 1;
    }
    return std::rename("record.tmp", "record.txt") == 0 ? 0 : 1;
}

int Instance(const std::string& data_folder, const std::string& show_log) {
    using kf::app::SingleInstance;
    SingleInstance::Outcome outcome = SingleInstance::Outcome::kFailed;
    const auto claim = SingleInstance::Claim(
        data_folder,
        [&show_log] {
            const int fd = open(show_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd >= 0) {
                (void)!write(fd, "show\n", 5);
                close(fd);
            }
        },
        &outcome);
    const char* names[] = {"first", "shown", "failed"};
    std::printf("%s\n", names[static_cast<int>(outcome)]);
    std::fflush(stdout);
    if (outcome != SingleInstance::Outcome::kFirst) {
        return outcome == SingleInstance::Outcome::kOtherShown ? 0 : 3;
    }
    while (true) {
        pause();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        return Record();
    }
    if (argc == 4 && std::strcmp(argv[1], "instance") == 0) {
        return Instance(argv[2], argv[3]);
    }
    std::fprintf(stderr, "usage: %s [instance DATA_FOLDER SHOW_LOG]\n", argv[0]);
    return 2;
}
