// Starting the installer as real processes: detached into its own session, in the save folder,
// with nothing but descriptors 0-2; the open codes for what cannot start; files that are not
// programs handed to xdg-open; folders shown through the file manager's bus service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "app/platform/ProcessLauncher.h"
#include "support/BusStub.h"
#include "support/ContentFiles.h"
#include "support/PrivateBus.h"
#include "support/TempDir.h"

namespace kf::app {
namespace {

using namespace std::chrono_literals;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteFile;

// Waits (at most 10 s) until a detached program has written `path`; its text, or empty.
std::string WaitForFile(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!test::FileExists(path) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    return ReadWholeFile(path);
}

// "key=value" lines.
std::map<std::string, std::string> Fields(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return fields;
}

class ProcessLauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        save_ = dir_ / "GD4251";
        ASSERT_TRUE(std::filesystem::create_directory(save_));
        ASSERT_TRUE(std::filesystem::create_directory(dir_ / "bin"));
        // A stand-in for xdg-open that notes its argument and working folder.
        ASSERT_TRUE(WriteFile(dir_ / "bin/xdg-open",
                              "#!/bin/sh\nprintf '%s\\n%s\\n' \"$1\" \"$(pwd)\" > \"" +
                                  (dir_ / "opened.tmp") + "\" && mv \"" + (dir_ / "opened.tmp") +
                                  "\" \"" + (dir_ / "opened.txt") + "\"\n"));
        ASSERT_EQ(chmod((dir_ / "bin/xdg-open").c_str(), 0755), 0);
        if (const char* path = std::getenv("PATH")) {
            old_path_ = path;
        }
        // Set before any thread of the test starts.
        setenv("PATH", (dir_ / "bin:" + old_path_.value_or("/usr/bin:/bin")).c_str(), 1);
    }
    void TearDown() override {
        if (old_path_) {
            setenv("PATH", old_path_->c_str(), 1);
        }
    }

    TempDir dir_;
    std::string save_;
    std::optional<std::string> old_path_;
};

TEST_F(ProcessLauncherTest, RunsTheInstallerDetachedInTheSaveFolderWithOnlyItsStandardDescriptors) {
    const std::string elf = save_ + "/Glimmerdeep_setup_0.122.42.51.exe";
    const std::string script = save_ + "/setup.sh";
    std::filesystem::copy_file(KF_APP_PROBE, elf);
    ASSERT_TRUE(WriteFile(script, std::string("#!/bin/sh\nexec '") + KF_APP_PROBE + "'\n"));
    // What the downloader may hold when it launches: a descriptor without close-on-exec, and a
    // standard input that is not /dev/null.
    const int inherited = open("/dev/null", O_RDONLY);
    int stdin_pipe[2];
    ASSERT_EQ(pipe(stdin_pipe), 0);
    const int saved_stdin = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(stdin_pipe[0], STDIN_FILENO), STDIN_FILENO);
    for (const std::string& installer : {elf, script}) {
        SCOPED_TRACE(installer);
        ASSERT_EQ(chmod(installer.c_str(), 0644), 0);  // as downloaded: no execute bit
        std::filesystem::remove(save_ + "/record.txt");
        ProcessLauncher launcher;
        EXPECT_EQ(launcher.Open(installer, save_), ProcessLauncher::kLaunched);
        const auto record = Fields(WaitForFile(save_ + "/record.txt"));
        ASSERT_FALSE(record.empty());
        EXPECT_NE(record.at("sid"), std::to_string(getsid(0)));  // a session of its own
        EXPECT_EQ(record.at("cwd"), std::filesystem::canonical(save_).string());
        EXPECT_EQ(record.at("fds"), "0,1,2");
        EXPECT_EQ(record.at("stdin"), "/dev/null");
        struct stat info {};
        ASSERT_EQ(stat(installer.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0755u);
    }
    dup2(saved_stdin, STDIN_FILENO);
    for (const int fd : {saved_stdin, stdin_pipe[0], stdin_pipe[1], inherited}) {
        close(fd);
    }
}

TEST_F(ProcessLauncherTest, AnswersTheOpenCodesAndHandsOtherFilesToXdgOpen) {
    ASSERT_TRUE(WriteFile(save_ + "/broken.exe", std::string("\x7f"
                                                             "ELF",
                                                             4) +
                                                     "garbage"));
    ASSERT_TRUE(WriteFile(save_ + "/readme.txt", "just text"));
    ASSERT_TRUE(WriteFile(save_ + "/bad-interpreter.sh", "#!/nonexistent/shell\n"));
    const struct {
        std::string path;
        std::string working_folder;
        int result;
    } cases[] = {
        {save_ + "/missing.exe", save_, 2},
        {save_ + "/readme.txt/x", save_, 3},
        {save_ + "/broken.exe", save_, 11},
        {save_ + "/broken.exe", dir_ / "no-such-folder", 3},
        {save_ + "/bad-interpreter.sh", save_, 2},
        {save_ + "/readme.txt", save_, ProcessLauncher::kLaunched},
    };
    ProcessLauncher launcher;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " in " + c.working_folder);
        EXPECT_EQ(launcher.Open(c.path, c.working_folder), c.result);
    }
    const std::string opened = WaitForFile(dir_ / "opened.txt");
    EXPECT_EQ(opened, save_ + "/readme.txt\n" + std::filesystem::canonical(save_).string() + "\n");

    // No xdg-open anywhere on PATH: nothing is associated with the file.
    setenv("PATH", (dir_ / "empty").c_str(), 1);
    EXPECT_EQ(launcher.Open(save_ + "/readme.txt", save_), ProcessLauncher::kNoAssociation);
    for (const auto& [error_number, code] : {std::pair{ENOENT, 2},
                                             {ENOTDIR, 3},
                                             {EACCES, 5},
                                             {EPERM, 5},
                                             {ENOMEM, 8},
                                             {ENOEXEC, 11},
                                             {ETXTBSY, ProcessLauncher::kUnknownFailure},
                                             {E2BIG, ProcessLauncher::kUnknownFailure}}) {
        EXPECT_EQ(ProcessLauncher::ResultFor(error_number), code) << error_number;
    }
}

TEST_F(ProcessLauncherTest, ShowsAFolderThroughTheFileManagerElseXdgOpen) {
    test::PrivateBus bus;
    if (!test::PrivateBus::Available()) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    ASSERT_TRUE(bus.Start());
    {
        test::BusStub file_manager;
        ASSERT_TRUE(file_manager.Start(bus.Address(), {.file_manager = true}));
        ProcessLauncher launcher(bus.Address());
        EXPECT_TRUE(launcher.ShowFolder(save_, "Glimmerdeep 安装.exe"));
        EXPECT_TRUE(launcher.ShowFolder(save_, ""));
        const auto calls = file_manager.Calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0], "ShowItems file://" + save_ + "/Glimmerdeep%20%E5%AE%89%E8%A3%85.exe");
        EXPECT_EQ(calls[1], "ShowFolders file://" + save_);
    }
    // No file manager on the bus.
    ProcessLauncher launcher(bus.Address());
    EXPECT_TRUE(launcher.ShowFolder(save_, "x.exe"));
    EXPECT_EQ(WaitForFile(dir_ / "opened.txt"),
              save_ + "\n" + std::filesystem::canonical(save_).string() + "\n");
}

}  // namespace
}  // namespace kf::app
