// kestrelfetch: the downloader, in its window or, without a display or with --console, in the
// terminal.
#include <signal.h>
#include <unistd.h>

#include <QApplication>
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
#include "app/window/WindowFrontend.h"

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

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            return true;
        }
    }
    return false;
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

    const bool windowed = !options->console && HasDisplay();
    if (!options->console && !windowed) {
        std::fprintf(stderr, "kestrelfetch: no display; running in the console\n");
    }
    // The window's toolkit exists only in window mode: the console needs no display.
    std::optional<QApplication> application;
    std::optional<window::WindowFrontend> gui;
    std::optional<ConsoleFrontend> console;
    UserMessages* messages = nullptr;
    if (windowed) {
        application.emplace(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        gui.emplace(interrupted);
        messages = &*gui;
    } else {
        console.emplace(*options, stderr, stdin);
        messages = &*console;
    }

    // One downloader per data folder: claimed before anything of this one runs.
    std::error_code ignored;
    std::filesystem::create_directories(paths.data_folder, ignored);
    SingleInstance::Outcome outcome = SingleInstance::Outcome::kFailed;
    const std::unique_ptr<SingleInstance> instance = SingleInstance::Claim(
        paths.data_folder,
        [&] {
            if (gui) {
                gui->ShowWindow();
            } else {
                console->Show("another start asked for this downloader", UserMessages::kTitle);
            }
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
    ControllerServices services{engine, disk, clock, *messages, launcher, power, nullptr};
    ControllerThread thread(std::make_unique<CDownloadController>(std::move(config), services),
                            clock, std::make_shared<CurlFetcher>(product->ca_certificate),
                            *product);
    thread.Start();
    return gui ? gui->Run(thread) : console->Run(thread, interrupted);
}
