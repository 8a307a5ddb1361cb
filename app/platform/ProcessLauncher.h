#pragma once

#include <string>
#include <vector>

#include "app/platform/Launcher.h"

namespace kf::app {

// The real Launcher.
//
// Open: the file's first bytes decide. An ELF file ("\x7f" "ELF") or a script ("#!") is run
// itself, with no arguments, once its execute bits are added where it is readable (a downloaded
// file has none); anything else is handed to xdg-open (found on PATH). The program runs detached:
// a first child starts a new session and forks the program, which gets `working_folder` as its
// working folder, /dev/null as standard input, the downloader's standard output and error,
// default signal dispositions and an empty signal mask, and no other descriptor. The first child
// ends at once and is reaped, so the program outlives the downloader and leaves no zombie.
//
// Results: failures up to the exec come back as errno through a close-on-exec pipe and are
// answered as the shell's open codes: 33 launched; 2 ENOENT; 3 ENOTDIR or a missing working folder;
// 5 EACCES or EPERM; 8 ENOMEM; 11 ENOEXEC; 31 no xdg-open on PATH (no program for the file);
// kUnknownFailure for anything else (a code that the caller reports as "Unknown open failed").
//
// ShowFolder: the file manager over the session bus (org.freedesktop.FileManager1 ShowItems with
// the selected file, ShowFolders without one); when no file manager answers, xdg-open on the
// folder, detached as above. True when either was done.
//
// Threads: any; Open and ShowFolder block until the program has started or failed (an exec, or a
// bus call of at most BusConnection::kCallTimeoutMicroseconds). `session_bus_address` empty
// means the user's session bus; tests give a private bus's address.
class ProcessLauncher : public Launcher {
  public:
    static constexpr int kLaunched = 33;
    static constexpr int kNoAssociation = 31;
    static constexpr int kUnknownFailure = 1;

    explicit ProcessLauncher(std::string session_bus_address = {});
    int Open(const std::string& path, const std::string& working_folder) override;
    bool ShowFolder(const std::string& folder, const std::string& select) override;

    // The open code for an errno of a failed start.
    static int ResultFor(int error_number);

  private:
    // Starts `program` (a path) with `arguments` (argv[0] first), detached; a result as Open's.
    static int Spawn(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& working_folder);

    std::string session_bus_address_;
};

}  // namespace kf::app
