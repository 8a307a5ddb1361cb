#include "app/ButtonPanel.h"

namespace kf::app {

void ButtonPanel::Initial(bool reloaded) {
    start = {!reloaded, true};
    pause = {reloaded, true};
    resume = {false, true};
    install = {false, true};
    change = {true, true};
    view = {true, true};
}

void ButtonPanel::Apply(DownloadState state, bool low_space) {
    switch (state) {
        case DownloadState::kBack:
            start = {true, !low_space};
            break;
        case DownloadState::kPreparing:
            pause = {true, true};
            start.shown = false;
            change.enabled = false;
            break;
        case DownloadState::kRecover:
        case DownloadState::kReload:
            pause.enabled = false;
            change.enabled = false;
            break;
        case DownloadState::kDownloading:
        case DownloadState::kResume:
            resume.shown = false;
            pause = {true, !low_space};
            change.shown = false;
            view.shown = true;
            break;
        case DownloadState::kPause:
            pause.shown = false;
            resume = {true, !low_space};
            change.shown = false;
            view.shown = true;
            break;
        case DownloadState::kFailed:
            pause.enabled = false;
            resume.enabled = false;
            install.enabled = false;
            start.enabled = false;
            change.shown = false;
            view.shown = true;
            break;
        case DownloadState::kMd5Checking:
        case DownloadState::kCheckRecover:
            install = {true, false};
            start.shown = pause.shown = resume.shown = false;
            change.shown = false;
            view.shown = true;
            break;
        case DownloadState::kFinished:
        case DownloadState::kCheckFinished:
            install = {true, true};
            start.shown = pause.shown = resume.shown = false;
            change.shown = false;
            view.shown = true;
            break;
        default:
            break;
    }
}

}  // namespace kf::app
