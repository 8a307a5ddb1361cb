#include "app/platform/AppPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "app/platform/ProductInfo.h"
#include "app/platform/TextChecks.h"

namespace kf::app {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string HomeFolder() {
    std::string home = Environment("HOME");
    if (!home.empty()) {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return "/";
}

}  // namespace

std::string AppPaths::DataHome() {
    std::string home = Environment("KESTRELFETCH_DATA_HOME");
    if (!home.empty()) {
        return home;
    }
    // A relative XDG_DATA_HOME is invalid and ignored, as the base directory rules say.
    home = Environment("XDG_DATA_HOME");
    if (!home.empty() && home.front() == '/') {
        return home;
    }
    return HomeFolder() + "/.local/share";
}

AppPaths AppPaths::For(const ProductInfo& product, const std::string& data_home,
                       const std::string& task_hash) {
    const std::string& id = product.Id();
    // The hash comes from the saved state; a value that would leave the data folder is not used.
    const std::string& hash = IsPlainName(task_hash) ? task_hash : id;
    AppPaths paths;
    paths.data_home = data_home;
    paths.data_folder = data_home + "/Orlo/Kestrelfetch/Kestrelfetch" + id;
    paths.config_file = paths.data_folder + "/" + id + ".kfconf";
    paths.log_prefix = paths.data_folder + "/" + id;
    paths.telemetry_config = paths.data_folder + "/dataupload.kfconf";
    paths.resume_folder = paths.data_folder + "/" + hash + "KFInfo/";
    for (size_t i = 0; i < paths.resume_path.size(); ++i) {
        paths.resume_path[i] = paths.resume_folder + product.files[i].name + ".kfinfo";
    }
    return paths;
}

std::string AppPaths::TemporaryFolder() {
    const std::string folder = Environment("TMPDIR");
    return folder.empty() ? "/tmp" : folder;
}

}  // namespace kf::app
