#include "app/TaskPersistence.h"

#include <array>
#include <cstdlib>

#include "app/IniKeys.h"
#include "app/platform/TextChecks.h"

namespace kf::app {
namespace {

constexpr int64_t kLastSizeUnit = int64_t{1} << 31;
constexpr size_t kMaxPathBytes = 3800;  // leaves room for a file name within the engine's 4096

std::string Key(const char* prefix, int index, const char* suffix = "") {
    return std::string(prefix) + std::to_string(index) + suffix;
}

uint64_t ParseUnsigned(const std::string& text) {
    uint64_t value = 0;
    for (size_t i = 0; i < text.size() && i < 19 && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return value;
}

}  // namespace

bool TaskPersistence::IsSafePath(const std::string& path) {
    if (path.size() < 2 || path.size() > kMaxPathBytes || path.front() != '/') {
        return false;
    }
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string step = path.substr(start, end - start);
        if ((step.empty() && end != path.size()) || step == "." || step == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

void TaskPersistence::UseTaskHash(const std::string& hash) {
    context_.task_hash = hash;
    const std::string folder = context_.config.paths.data_folder + "/" + hash + "KFInfo/";
    for (int i = 0; i < 3; ++i) {
        context_.resume_path[i] =
            hash == context_.config.product.Id() && !context_.config.paths.resume_path[i].empty()
                ? context_.config.paths.resume_path[i]
                : folder + context_.File(i).name + ".kfinfo";
    }
    context_.services.disk.CreateFolders(folder);
}

std::string TaskPersistence::SaveSubfolder() const {
    const size_t slash = context_.save_folder.find_last_of('/');
    const std::string name =
        slash == std::string::npos ? context_.save_folder : context_.save_folder.substr(slash + 1);
    return name.empty() ? ini::kSaveSubfolder : name;
}

bool TaskPersistence::Decide() {
    ControllerContext& c = context_;
    const ControllerConfig& config = c.config;
    const std::string default_folder = config.save_folder_override.empty()
                                           ? config.default_save_folder
                                           : config.save_folder_override;
    c.save_folder = default_folder;
    c.setup_entry = c.File(0).name;
    UseTaskHash(config.product.Id());
    outcome_ = Outcome::kNew;

    if (c.ini.Exists()) {
        const std::string create_time = c.ini.GetString(ini::kTaskSection, ini::kCreateTime);
        const std::string hash = c.ini.GetString(ini::kTaskSection, ini::kHash);
        const std::string save = c.ini.GetString(ini::kTaskSection, ini::kSavePath);
        const std::string entrence = c.ini.GetString(ini::kTaskSection, ini::kEntrence);
        const uint64_t high = ParseUnsigned(c.ini.GetString(ini::kTaskSection, ini::kLastSizeHigh));
        const uint64_t low = ParseUnsigned(c.ini.GetString(ini::kTaskSection, ini::kLastSizeLow));
        c.previous_last_size =
            high < (uint64_t{1} << 31) && low < static_cast<uint64_t>(kLastSizeUnit)
                ? static_cast<int64_t>(high) * kLastSizeUnit + static_cast<int64_t>(low)
                : 0;
        c.download_time =
            static_cast<uint32_t>(c.ini.GetInt(ini::kTaskSection, ini::kDownloadTime, 0));

        const bool hash_ok = IsPlainName(hash);
        const bool save_ok = IsSafePath(save);
        bool entrence_ok = false;
        for (const ProductFile& file : config.product.files) {
            entrence_ok = entrence_ok || (!entrence.empty() && entrence == file.name);
        }
        const int missing = (create_time.empty() ? 1 : 0) + (hash_ok ? 0 : 1) + (save_ok ? 0 : 1) +
                            (entrence_ok ? 0 : 1);
        if (missing < 4) {
            if (hash_ok) {
                UseTaskHash(hash);
            }
            if (save_ok && config.save_folder_override.empty()) {
                c.save_folder = save;
            }
            const bool complete =
                c.ini.GetString(ini::kTaskSection, ini::kIsComplete) == ini::kCompleteValue;
            int finals = 0;
            int present = 0;
            for (int i = 0; i < 3; ++i) {
                const DiskInfo::FileFacts facts = c.services.disk.Stat(c.FilePath(i));
                const bool final_file = facts.exists && !facts.is_folder;
                finals += final_file ? 1 : 0;
                present += final_file || (!complete &&
                                          c.services.disk.Stat(c.FilePath(i) + ".kftmp").exists)
                               ? 1
                               : 0;
            }
            if ((complete && finals == 3) || (!complete && finals > 0)) {
                bool all_pass = true;
                for (int i = 0; i < 3; ++i) {
                    all_pass = FinishCheck(i) && all_pass;
                }
                outcome_ = all_pass ? Outcome::kFinished : Outcome::kVerify;
            } else {
                outcome_ = present == 0 ? Outcome::kAllLost : Outcome::kResumable;
            }
            if (entrence_ok) {
                c.setup_entry = entrence;
            }
            const std::string inside = config.paths.data_folder + "/";
            for (int i = 0; i < 3; ++i) {
                const std::string saved =
                    c.ini.GetString(ini::kTaskSection, Key(ini::kDownloadInfo, i));
                if (IsSafePath(saved) && saved.compare(0, inside.size(), inside) == 0 &&
                    saved.size() > 7 && saved.compare(saved.size() - 7, 7, ".kfinfo") == 0) {
                    c.resume_path[i] = saved;
                }
            }
        }
    }

    switch (outcome_) {
        case Outcome::kNew:
            c.SetState(DownloadState::kReady);
            return false;
        case Outcome::kAllLost: {
            c.Log("目标文件全部丢失，退回初始状态");
            // An unmounted drive looks the same as deleted files: the saved state goes only when
            // the save folder is there to say that the files are really gone.
            const DiskInfo::FileFacts folder = c.services.disk.Stat(c.save_folder);
            if (folder.exists && folder.is_folder) {
                c.ini.Remove();
            }
            c.SetState(DownloadState::kReady);
            c.Message("目标文件被删除或移动，请重新下载");
            c.save_folder = default_folder;
            return false;
        }
        case Outcome::kFinished:
            c.Log("下载已经完成，文件正确");
            VolumePreparation();
            c.SetState(DownloadState::kFinished);
            break;
        case Outcome::kVerify:
            c.Log("需要文件校验");
            VolumePreparation();
            c.SetState(DownloadState::kReload);
            break;
        case Outcome::kResumable:
            c.Log("成功地恢复了下载，可以进行续传");
            VolumePreparation();
            c.SetState(DownloadState::kRecover);
            break;
    }
    Reload();
    return true;
}

void TaskPersistence::WriteStartKeys() {
    ControllerContext& c = context_;
    std::vector<std::pair<std::string, std::string>> values = {
        {ini::kHash, c.task_hash},
        {ini::kCreateTimeStamp, std::to_string(c.services.clock.TickCount())},
        {ini::kCreateTime, c.services.clock.LocalTimeText()},
        {ini::kEntrence, c.setup_entry},
        {ini::kFloder, SaveSubfolder()},
    };
    if (c.state == DownloadState::kBack || c.state == DownloadState::kReady) {
        for (int i = 0; i < 3; ++i) {
            values.emplace_back(Key(ini::kHttpTaskUrl, i), c.File(i).source_url);
            values.emplace_back(Key(ini::kHttpTaskFile, i), c.File(i).name);
        }
    }
    c.ini.WriteStrings(ini::kTaskSection, values);
    c.session_seconds = 0;
    c.services.engine.SetHttpWrappedHandshake(true);
}

void TaskPersistence::WriteSavePath() {
    // A new download: a completion saved by an earlier one must not make its files look final.
    context_.ini.WriteStrings(ini::kTaskSection,
                              {{ini::kSavePath, context_.save_folder}, {ini::kIsComplete, ""}});
}

void TaskPersistence::WriteFinishInfo(int index) {
    const DiskInfo::FileFacts facts = context_.services.disk.Stat(context_.FilePath(index));
    if (!facts.exists || facts.is_folder) {
        return;  // not yet renamed from its temporary name: nothing final to describe
    }
    const auto size = static_cast<uint64_t>(facts.size);
    context_.ini.WriteStrings(
        ini::kFinishSection,
        {{Key(ini::kTask, index, ini::kWriteTimeHigh),
          std::to_string(facts.write_time_local >> 32)},
         {Key(ini::kTask, index, ini::kWriteTimeLow),
          std::to_string(facts.write_time_local & 0xFFFFFFFFu)},
         {Key(ini::kTask, index, ini::kFileSizeHigh), std::to_string(size >> 32)},
         {Key(ini::kTask, index, ini::kFileSizeLow), std::to_string(size & 0xFFFFFFFFu)}});
}

bool TaskPersistence::FinishCheck(int index) {
    const DiskInfo::FileFacts facts = context_.services.disk.Stat(context_.FilePath(index));
    if (!facts.exists || facts.is_folder) {
        return false;
    }
    const auto size = static_cast<uint64_t>(facts.size);
    const auto saved = [&](const char* suffix) {
        return context_.ini.GetString(ini::kFinishSection, Key(ini::kTask, index, suffix));
    };
    return saved(ini::kWriteTimeHigh) == std::to_string(facts.write_time_local >> 32) &&
           saved(ini::kWriteTimeLow) == std::to_string(facts.write_time_local & 0xFFFFFFFFu) &&
           saved(ini::kFileSizeHigh) == std::to_string(size >> 32) &&
           saved(ini::kFileSizeLow) == std::to_string(size & 0xFFFFFFFFu);
}

bool TaskPersistence::RecoverTask(int index, bool force) {
    if (context_.File(index).source_url.empty()) {
        context_.Message("下载源出错，请验证这个下载工具的md5是否正确");
    }
    const int32_t result = factory_.Recover(index, force);
    if (result != KF_OK) {
        context_.Log("Reload 失败");
        context_.Message("ErrorCode : " + std::to_string(result));
        return false;
    }
    context_.Log("Reload 成功");
    context_.ini.WriteString(ini::kTaskSection, Key(ini::kTask, index), context_.File(index).name);
    return true;
}

void TaskPersistence::Reload() {
    ControllerContext& c = context_;
    WriteStartKeys();
    if (c.services.engine.InitEngine(c.config.paths.data_folder) != KF_OK) {
        c.Log("Reload Download Task] [环境初始化失败");
        c.Event("11400101", EventReport::Plain("继续下载：环境初始化失败"));
        c.Message("下载启动失败请重试");
        return;
    }
    for (int i = 0; i < 3; ++i) {
        if (FinishCheck(i)) {
            c.files[i].complete = true;
        } else {
            c.files[i].complete = false;
            RecoverTask(i, false);
        }
    }
    if (!c.LiveHandles().empty()) {
        c.tasks_started = true;
        c.Event("11030000", EventReport::Plain({}));
        limits_.ApplySpeedLimit();
        limits_.ShareBudgets();
    }
}

void TaskPersistence::Completion() {
    ControllerContext& c = context_;
    for (int i = 0; i < 3; ++i) {
        FileSlot& slot = c.files[i];
        bool done = false;
        if (slot.handle == nullptr || slot.complete ||
            c.services.engine.IsTaskComplete(slot.handle, &done) != KF_OK || !done) {
            continue;
        }
        const DiskInfo::FileFacts facts = c.services.disk.Stat(c.FilePath(i));
        if (!facts.exists || facts.is_folder) {
            continue;  // the engine has not renamed it yet; seen again next second
        }
        slot.complete = true;
        WriteFinishInfo(i);
        limits_.ApplySpeedLimit();
        c.Event("11080000", EventReport::File(c.File(i).name, {}));
    }
    switch (c.state) {
        case DownloadState::kMd5Checking:
        case DownloadState::kCheckRecover:
        case DownloadState::kCheckFinished:
        case DownloadState::kFailed:
        case DownloadState::kFinished:
        case DownloadState::kInstalling:
            return;
        default:
            break;
    }
    if (c.files[0].complete && c.files[1].complete && c.files[2].complete) {
        c.SetState(DownloadState::kFinished);
        c.ini.WriteString(ini::kTaskSection, ini::kIsComplete, ini::kCompleteValue);
    }
}

void TaskPersistence::WriteProgress() {
    ControllerContext& c = context_;
    std::vector<std::pair<std::string, std::string>> values;
    bool size_kept = true;
    switch (c.state) {
        case DownloadState::kBack:
        case DownloadState::kReady:
        case DownloadState::kPause:
        case DownloadState::kFailed:
        case DownloadState::kFinished:
        case DownloadState::kMd5Checking:
        case DownloadState::kInstalling:
        case DownloadState::kDestroyed:
            size_kept = false;
            break;
        default:
            break;
    }
    if (size_kept && c.downloaded_total != c.saved_last_size) {
        const int64_t total = c.downloaded_total < 0 ? 0 : c.downloaded_total;
        values.emplace_back(ini::kLastSizeHigh, std::to_string(total / kLastSizeUnit));
        values.emplace_back(ini::kLastSizeLow, std::to_string(total % kLastSizeUnit));
        c.saved_last_size = c.downloaded_total;
    }
    if (IsActiveState(c.state)) {
        values.emplace_back(ini::kDownloadTime, std::to_string(c.download_time));
    }
    if (!values.empty()) {
        c.ini.WriteStrings(ini::kTaskSection, values);
    }
}

void TaskPersistence::VolumePreparation() {
    switch (context_.services.disk.ProbeVolume(context_.save_folder)) {
        case DiskInfo::VolumeMode::kPreallocates:
            context_.Log("使用磁盘预占");
            context_.space_watch = false;
            break;
        case DiskInfo::VolumeMode::kSparse:
            context_.Log("文件系统支持稀疏文件");
            context_.space_watch = true;
            break;
        case DiskInfo::VolumeMode::kNotSparse:
            context_.Log("文件系统^不^支持稀疏文件");
            context_.space_watch = false;
            break;
        case DiskInfo::VolumeMode::kUnknown:
            break;
    }
}

}  // namespace kf::app
