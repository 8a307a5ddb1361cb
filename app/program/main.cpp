// kestrelfetch: the downloader. Until its window exists it runs in the console.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/CDownloadController.h"
#include "app/ConsoleFrontend.h"
#include "app/ConsoleOptions.h"
#include "app/ControllerThread.h"
#include "app/RealEngineApi.h"
#include "app/SystemClock.h"
#include "app/SystemDisk.h"
#include "app/platform/AppPaths.h"
#include "app/platform/CurlFetcher.h"
#include "app/platform/LogindPowerOff.h"
#include "app/platform/ProcessLauncher.h"
#include "app/platform/ProductInfo.h"
#include "app/platform/SingleInstance.h"

namespace {

using namespace kf::app;

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnSignal(int) {
    interrupted = true;
}

std::string Absolute(const std::string& path) {
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? path : absolute.lexically_normal().string();
}

// Without a choice of the user: a folder in the home folder (the design's drive root with the
// most space has no counterpart here).
std::string DefaultSaveFolder() {
    const char* home = std::getenv("HOME");
    const std::string base = home != nullptr && home[0] == '/' ? home : Absolute(".");
    return base + "/GD4251";
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<ConsoleOptions> options = ConsoleOptions::Parse(argc, argv, &error);
    if (!options) {
        std::fprintf(stderr, "kestrelfetch: %s\nTry 'kestrelfetch --help'.\n", error.c_str());
        return ConsoleOptions::kUsage;
    }
    if (options->help) {
        ConsoleOptions::PrintHelp(stdout);
        return ConsoleOptions::kDone;
    }
    std::optional<ProductInfo> product = ProductInfo::Default();
    if (!options->product_dir.empty()) {
        product = ProductInfo::LoadFolder(Absolute(options->product_dir), &error);
        if (!product) {
            std::fprintf(stderr, "kestrelfetch: the product folder %s: %s\n",
                         options->product_dir.c_str(), error.c_str());
            return ConsoleOptions::kUsage;
        }
    }
    const AppPaths paths = AppPaths::For(*product, AppPaths::DataHome());

    // One downloader per data folder: claimed before anything of this one runs.
    ConsoleFrontend console(*options, stderr, stdin);
    std::error_code ignored;
    std::filesystem::create_directories(paths.data_folder, ignored);
    SingleInstance::Outcome outcome = SingleInstance::Outcome::kFailed;
    const std::unique_ptr<SingleInstance> instance = SingleInstance::Claim(
        paths.data_folder,
        [&console] {
            console.Show("another start asked for this downloader", UserMessages::kTitle);
        },
        &outcome);
    if (outcome == SingleInstance::Outcome::kOtherShown) {
        std::fprintf(stderr, "kestrelfetch: already running for this product; it was told\n");
        return ConsoleOptions::kDone;
    }
    if (outcome != SingleInstance::Outcome::kFirst || !instance) {
        std::fprintf(stderr, "kestrelfetch: cannot claim %s for this downloader\n",
                     paths.data_folder.c_str());
        return ConsoleOptions::kFailed;
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (!options->console) {
        std::fprintf(stderr, "kestrelfetch: the window is not built yet; running in the console\n");
    }
    RealEngineApi engine;
    SystemDisk disk;
    SystemClock clock;
    ProcessLauncher launcher;
    LogindPowerOff power;
    ControllerConfig config;
    config.product = *product;
    config.paths = paths;
    config.default_save_folder = DefaultSaveFolder();
    config.save_folder_override = options->save_dir.empty() ? "" : Absolute(options->save_dir);
    config.task_link_file = Absolute(".") + "/KestrelfetchTaskLink.ini";
    ControllerServices services{engine, disk, clock, console, launcher, power, nullptr};
    ControllerThread thread(std::make_unique<CDownloadController>(std::move(config), services),
                            clock, std::make_shared<CurlFetcher>(product->ca_certificate),
                            *product);
    thread.Start();
    return console.Run(thread, interrupted);
}
