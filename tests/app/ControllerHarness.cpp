#include "ControllerHarness.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/IniKeys.h"

namespace kf::app::test {
namespace {

// A distinct 32-digit lower-case MD5 for each file.
std::string Md5Of(int index) {
    return std::string(31, 'a') + std::to_string(index);
}

}  // namespace

ControllerHarness::ControllerHarness(std::array<int64_t, 3> sizes) {
    const char* names[] = {"setup.exe", "data.7z.001", "data.7z.002"};
    for (int i = 0; i < 3; ++i) {
        ProductFile& file = config.product.files[i];
        file.name = names[i];
        file.size = sizes[i];
        file.md5 = Md5Of(i);
        file.piece_length = 65536;
        file.source_url = "http://downloads.example/Client/42.51/" + file.name;
        file.torrent = "d4:infod4:name" + std::to_string(file.name.size()) + ":" + file.name + "ee";
    }
    config.product.resource_list_url = "https://downloads.example/downloader/list.xml";
    config.product.telemetry_config = "[SubmitEventDownload]\n";
    const std::string data = dir / "data";
    std::filesystem::create_directories(data);
    config.paths.data_home = dir.Path();
    config.paths.data_folder = data;
    config.paths.config_file = data + "/" + Md5Of(0) + ".kfconf";
    config.paths.log_prefix = data + "/" + Md5Of(0);
    config.paths.telemetry_config = data + "/dataupload.kfconf";
    config.paths.resume_folder = data + "/" + Md5Of(0) + "KFInfo/";
    for (int i = 0; i < 3; ++i) {
        config.paths.resume_path[i] = config.paths.resume_folder + names[i] + ".kfinfo";
    }
    config.default_save_folder = "/games/GD4251";
    config.task_link_file = dir / "KestrelfetchTaskLink.ini";
    Make();
}

void ControllerHarness::Make() {
    controller = std::make_unique<CDownloadController>(
        config, ControllerServices{engine, disk, clock, messages, launcher, power, events});
    controller->SetWorkers(
        [this](const DigestRequest& request) {
            digests.push_back(request);
            return !digests_refused;
        },
        [this](const FetchRequest& request) {
            fetches.push_back(request);
            return !fetches_refused;
        });
}

int ControllerHarness::Init() {
    return controller->Init();
}

void ControllerHarness::Run(int seconds) {
    for (int second = 0; second < seconds; ++second) {
        for (int tick = 0; tick < 10; ++tick) {
            clock.Advance(100);
            controller->Tick100();
        }
        controller->TickSecond();
    }
}

std::string ControllerHarness::FilePath(int index) const {
    return Context().save_folder + "/" + Name(index);
}

void ControllerHarness::SetTasks(int32_t progress, int32_t speed, int32_t status) {
    std::vector<FakeTask*> tasks;
    for (int i = 0; i < 3; ++i) {
        if (FakeTask* task = Task(i)) {
            tasks.push_back(task);
        }
    }
    engine.Script([&] {
        for (FakeTask* task : tasks) {
            task->info.info.progress = progress;
            task->info.info.speed = speed;
            task->info.info.status = status;
        }
    });
}

void ControllerHarness::CompleteFile(int index) {
    FakeTask* task = Task(index);
    ASSERT_NE(task, nullptr);
    const int64_t size = config.product.files[index].size;
    engine.Script([&] {
        task->complete = true;
        task->info.info.progress = 10000;
        task->info.info.status = KF_STATUS_COMPLETE;
        task->info.info.bytes_done = size;
    });
    disk.PutFile(FilePath(index), size, 5000 + static_cast<uint64_t>(index));
}

void ControllerHarness::AnswerDigest(bool match) {
    ASSERT_FALSE(digests.empty());
    const DigestRequest request = digests.back();
    int index = 0;
    for (int i = 0; i < 3; ++i) {
        if (request.path == FilePath(i)) {
            index = i;
        }
    }
    Do(action::DigestProgress{request.generation, 5000});
    Do(action::DigestDone{request.generation,
                          match ? config.product.files[index].md5 : std::string(32, 'f')});
}

void ControllerHarness::SaveState(const std::string& save_folder, bool complete) {
    ASSERT_TRUE(Ini().WriteStrings(ini::kTaskSection, {{ini::kHash, config.product.Id()},
                                                       {ini::kCreateTime, "2026-12-01 10:00:00"},
                                                       {ini::kSavePath, save_folder},
                                                       {ini::kEntrence, Name(0)}}));
    if (complete) {
        ASSERT_TRUE(Ini().WriteString(ini::kTaskSection, ini::kIsComplete, ini::kCompleteValue));
    }
}

void ControllerHarness::SaveFinishInfo(int index, uint64_t write_time, int64_t size) {
    const std::string key = std::string(ini::kTask) + std::to_string(index);
    const auto size_bits = static_cast<uint64_t>(size);
    ASSERT_TRUE(Ini().WriteStrings(
        ini::kFinishSection, {{key + ini::kWriteTimeHigh, std::to_string(write_time >> 32)},
                              {key + ini::kWriteTimeLow, std::to_string(write_time & 0xFFFFFFFFu)},
                              {key + ini::kFileSizeHigh, std::to_string(size_bits >> 32)},
                              {key + ini::kFileSizeLow, std::to_string(size_bits & 0xFFFFFFFFu)}}));
}

void ControllerHarness::ReachDownloading() {
    ASSERT_EQ(Init(), 0);
    Do(action::MainAction{});
    ASSERT_EQ(Context().state, DownloadState::kPreparing);
    SetTasks(0, 50000);
    Run(1);
    ASSERT_EQ(Context().state, DownloadState::kDownloading);
}

void ControllerHarness::ReachFinished() {
    ReachDownloading();
    for (int i = 0; i < 3; ++i) {
        CompleteFile(i);
    }
    Run(1);
    ASSERT_EQ(Context().state, DownloadState::kFinished);
}

void ControllerHarness::ReachChecking(bool install_after) {
    ReachFinished();
    Do(action::MainAction{});
    ASSERT_EQ(Context().question, Question::kVerify);
    Do(action::VerifyAnswer{true, install_after});
    ASSERT_EQ(Context().state, DownloadState::kMd5Checking);
}

}  // namespace kf::app::test
