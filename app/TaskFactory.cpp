#include "app/TaskFactory.h"

#include "app/platform/AppPaths.h"

namespace kf::app {

int TaskFactory::Release(const std::string& bytes, const std::string& folder,
                         const std::string& name, std::string* written) {
    const int result = context_.services.disk.Release(folder, name, bytes);
    const std::string first = folder + "/" + name;
    const std::string second = AppPaths::TemporaryFolder() + "/" + name;
    if (result != 0) {
        context_.Log("Kestrelfetch UI : 释放文件(path=" + first + ")第一次失败");
    }
    if (result < 0) {
        context_.Log("Kestrelfetch UI : 初始化失败，释放文件(path=" + second + ")第二次失败");
        return -1;
    }
    *written = result == 0 ? first : second;
    return result;
}

TaskSpec TaskFactory::SpecFor(int index) {
    const ProductFile& file = context_.File(index);
    TaskSpec spec;
    spec.sources = file.source_url;
    spec.flags = KF_FLAG_ACCEPTED | KF_FLAG_FULL_PATH;
    spec.target_path = context_.FilePath(index);
    spec.resume_path = context_.resume_path[index];
    if (!file.torrent.empty()) {
        std::string written;
        if (Release(file.torrent, context_.config.paths.data_folder, file.md5, &written) >= 0) {
            spec.torrent_location = "file://" + written;
            spec.flags |= KF_FLAG_P2SP;
        } else {
            // The task goes on with its HTTP source alone.
            context_.Log("Torent 资源释放失败");
            context_.Event("11400190", EventReport::Plain("KFconf资源释放失败"));
        }
    }
    return spec;
}

int32_t TaskFactory::Create(int index) {
    TaskHandle handle = nullptr;
    const int32_t result = context_.services.engine.CreateAndStartTask(SpecFor(index), &handle);
    if (result == KF_OK) {
        context_.files[index].handle = handle;
        context_.files[index].seen_status = 0;
    }
    return result;
}

int32_t TaskFactory::Recover(int index, bool force) {
    TaskHandle handle = nullptr;
    const int32_t result =
        context_.services.engine.RecoverAndContinueTask(SpecFor(index), force, &handle);
    if (result == KF_OK) {
        context_.files[index].handle = handle;
        context_.files[index].seen_status = 0;
    }
    return result;
}

}  // namespace kf::app
