// The kestrelfetch program whole, in the console, with the real engine: a product folder written
// by the test, its three files, metainfo and resource list served by a private nginx on
// 127.0.0.1, the installer a stub script that records where it ran.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/FileDigest.h"
#include "app/IniFile.h"
#include "app/IniKeys.h"
#include "support/ChildProcess.h"
#include "support/ContentFiles.h"
#include "support/NginxServer.h"
#include "support/PatternBytes.h"
#include "support/TempDir.h"

namespace kf::app {
namespace {

using kf::test::ChildProcess;
using kf::test::NginxServer;
using kf::test::TempDir;

constexpr auto kRunLimit = std::chrono::milliseconds(180000);
const char* const kNames[] = {"setup.sh", "data.7z.001", "data.7z.002"};

// Waits until `path` exists, at most `limit`; the installer runs detached from the program.
bool WaitForFile(const std::string& path, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!kf::test::FileExists(path)) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Waits until the program's output holds `text`, at most `limit`, or until it exits.
bool WaitForOutput(ChildProcess& child, const std::string& output, const std::string& text,
                   std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (kf::test::ReadWholeFile(output).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end || !child.IsRunning()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class KestrelfetchProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NginxServer::Available() || !kf::test::HaveMktorrent()) {
            GTEST_SKIP() << "needs nginx and mktorrent";
        }
        std::filesystem::create_directories(www_ / "Client/42.51");
        std::filesystem::create_directories(www_ / "downloader");
        ASSERT_TRUE(nginx_.Start(www_.Path()));
        // The installer records the folder it was started in; the data volumes are 1.5 MiB and
        // 0.7 MiB of pattern bytes, the first with metainfo so that its pieces are checked.
        contents_ = {"#!/bin/sh\npwd > installer-ran\n",
                     kf::test::PatternBytes(3 * 512 * 1024 + 77, 7, 4099),
                     kf::test::PatternBytes(700 * 1024 + 3, 13, 65537)};
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(kf::test::WriteFile(Served(i), contents_[i]));
        }
        ASSERT_FALSE(kf::test::MakeTorrent(Served(1), 16, product_ / "data1.torrent").empty());
        // One mirror for the second data volume, on the same server by its address.
        const std::string host = "127.0.0.1:" + std::to_string(nginx_.Port());
        ASSERT_TRUE(kf::test::WriteFile(
            www_ / "downloader/list.xml",
            "<project><configs><p2p-switch>off</p2p-switch></configs><resources>"
            "<resource id='3' task='" +
                SourceUrl(2) +
                "'>"
                "<cdn id='m' name='mirror' middle-dir='/Client/42.51/' file-name='data.7z.002' "
                "open='true'><ip>" +
                host + "</ip></cdn></resource></resources></project>"));
        std::string ini = "[product]\nresource_list_url = " + nginx_.Url("/downloader/list.xml") +
                          "\ntelemetry_config = dataupload.kfconf\n";
        for (int i = 0; i < 3; ++i) {
            ini += "[file" + std::to_string(i) + "]\nname = " + kNames[i] +
                   "\nsize = " + std::to_string(contents_[i].size()) +
                   "\nmd5 = " + FileDigest::Md5(Served(i), {}) +
                   "\npiece_length = 65536\nsource_url = " + SourceUrl(i) + "\n" +
                   (i == 1 ? "torrent = data1.torrent\n" : "");
        }
        ASSERT_TRUE(kf::test::WriteFile(product_ / "product.ini", ini));
        ASSERT_TRUE(kf::test::WriteFile(product_ / "dataupload.kfconf", "[SubmitEventDownload]\n"));
    }

    std::string Served(int index) const {
        return www_ / ("Client/42.51/" + std::string(kNames[index]));
    }
    std::string SourceUrl(int index) const {
        return nginx_.Url("/Client/42.51/" + std::string(kNames[index]));
    }
    std::string Saved(int index) const { return save_ / kNames[index]; }

    // kestrelfetch --console with the product folder and its own data home; the arguments after.
    std::vector<std::string> Command(const std::vector<std::string>& arguments) const {
        std::vector<std::string> argv = {"/usr/bin/env",  "KESTRELFETCH_DATA_HOME=" + home_.Path(),
                                         KF_KESTRELFETCH, "--console",
                                         "--product",     product_.Path(),
                                         "--save",        save_.Path()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
    int Run(const std::vector<std::string>& arguments) {
        return kf::test::RunProgram(Command(arguments), kRunLimit, output_);
    }
    std::string Output() const { return kf::test::ReadWholeFile(output_); }
    IniFile SavedState() const {
        std::string id;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.Path())) {
            if (entry.path().extension() == ".kfconf" &&
                entry.path().filename() != "dataupload.kfconf") {
                id = entry.path();
            }
        }
        return IniFile(id);
    }

    TempDir www_;
    TempDir product_;
    TempDir home_;
    TempDir save_;
    std::string output_ = home_ / "kestrelfetch.out";
    NginxServer nginx_;
    std::vector<std::string> contents_;
};

TEST_F(KestrelfetchProgram, AConsoleRunDownloadsVerifiesAndStartsTheInstaller) {
    ASSERT_EQ(Run({"--verify", "yes"}), 0) << Output();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kf::test::ReadWholeFile(Saved(i)), contents_[i]) << kNames[i];
    }
    ASSERT_TRUE(WaitForFile(save_ / "installer-ran", std::chrono::milliseconds(10000)));
    EXPECT_EQ(kf::test::ReadWholeFile(save_ / "installer-ran"),
              std::filesystem::canonical(save_.Path()).string() + "\n");
    const std::string output = Output();
    EXPECT_NE(output.find("state: checkfinished"), std::string::npos) << output;
    EXPECT_EQ(SavedState().GetString(ini::kTaskSection, ini::kIsComplete), "COMPLETE");

    // The next start finds the download finished and untouched: nothing to fetch again.
    std::filesystem::remove(save_ / "installer-ran");
    ASSERT_EQ(Run({"--verify", "no", "--no-install"}), 0) << Output();
    EXPECT_FALSE(kf::test::FileExists(save_ / "installer-ran"));
}

TEST_F(KestrelfetchProgram, ADamagedDataVolumeIsRepairedByTheEngine) {
    ASSERT_EQ(Run({"--verify", "no", "--no-install"}), 0) << Output();
    ASSERT_EQ(kf::test::ReadWholeFile(Saved(1)), contents_[1]);
    // One byte in the middle of the first data volume goes bad while the program is closed,
    // its write time kept: the start takes the download as finished and untouched.
    const auto written = std::filesystem::last_write_time(Saved(1));
    std::string damaged = contents_[1];
    damaged[damaged.size() / 2] ^= 0x5a;
    ASSERT_TRUE(kf::test::WriteFile(Saved(1), damaged));
    std::filesystem::last_write_time(Saved(1), written);

    const size_t second_run = Output().size();
    ASSERT_EQ(Run({"--verify", "yes", "--no-install"}), 0) << Output();
    EXPECT_EQ(kf::test::ReadWholeFile(Saved(1)), contents_[1]);
    // The check found it damaged and handed it back to the engine, which read it again and
    // fetched the bad piece.
    const std::string output = Output();
    EXPECT_EQ(output.find("state: reload", second_run), std::string::npos) << output;
    EXPECT_NE(output.find("state: checkrecover", second_run), std::string::npos) << output;
    EXPECT_FALSE(kf::test::FileExists(save_ / "installer-ran"));
}

TEST_F(KestrelfetchProgram, AnInterruptedRunSavesItsStateAndEndsWith130) {
    // A source that accepts connections and never answers keeps the download preparing.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(silent, 16), 0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string silent_url =
        "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/Client/42.51/data.7z.002";
    std::string ini = kf::test::ReadWholeFile(product_ / "product.ini");
    const size_t at = ini.find(SourceUrl(2));
    ASSERT_NE(at, std::string::npos);
    ini.replace(at, SourceUrl(2).size(), silent_url);
    ASSERT_TRUE(kf::test::WriteFile(product_ / "product.ini", ini));
    ASSERT_TRUE(kf::test::WriteFile(www_ / "downloader/list.xml",
                                    "<project><configs><p2p-switch>off</p2p-switch>"
                                    "</configs></project>"));

    ChildProcess child;
    ASSERT_TRUE(child.Start(Command({"--verify", "yes"}), output_));
    ASSERT_TRUE(WaitForOutput(child, output_, "state: preparing", std::chrono::milliseconds(60000)))
        << Output();
    EXPECT_EQ(child.Stop(std::chrono::milliseconds(60000)), 130) << Output();
    close(silent);
    const IniFile saved = SavedState();
    EXPECT_EQ(saved.GetString(ini::kTaskSection, ini::kSavePath),
              std::filesystem::absolute(save_.Path()).lexically_normal().string());
    EXPECT_NE(Output().find("interrupted"), std::string::npos) << Output();
}

}  // namespace
}  // namespace kf::app
