#include "app/SnapshotBuilder.h"

#include "app/DisplayFormat.h"

namespace kf::app {
namespace {

bool Downloading(const ControllerContext& context) {
    return context.state == DownloadState::kDownloading;
}

std::string SpeedLine(const ControllerContext& context) {
    switch (context.state) {
        case DownloadState::kMd5Checking:
            return "文件验证中...";
        case DownloadState::kCheckRecover:
            if (context.repair_progress == 0) {
                return "修复准备...";
            }
            // "修复中..." on 4 of every 12 refreshes, the repair speed on the others.
            return context.redraws % 12 < 4 ? "修复中..."
                                            : DisplayFormat::Speed(context.repair_speed);
        default:
            return IsActiveState(context.state) ? DisplayFormat::Speed(context.shown_speed)
                                                : "0 B/s";
    }
}

}  // namespace

std::string SnapshotBuilder::RowText(const ControllerContext& context, int index) {
    const FileSlot& slot = context.files[index];
    const int at = context.verify_index;
    if (slot.complete) {
        switch (context.state) {
            case DownloadState::kMd5Checking:
                if (index > at) {
                    return "待验证    ";
                }
                return index == at
                           ? "验证中：" + DisplayFormat::RowPercent(context.verify_progress) + "  "
                           : "√ 验证通过  ";
            case DownloadState::kCheckRecover:
                if (index > at) {
                    return "待验证    ";
                }
                if (index < at) {
                    return "√ 验证通过  ";
                }
                return context.repair_progress == 0
                           ? "准备修复.. "
                           : "修复中：" + DisplayFormat::RowPercent(context.repair_progress) + "  ";
            case DownloadState::kCheckFinished:
                return "√ 验证通过  ";
            default:
                return "√ 下载完成  ";
        }
    }
    const std::string not_started = Downloading(context) ? "准备下载    " : "未开始    ";
    if (slot.handle == nullptr || !slot.query_ok) {
        return not_started;
    }
    const int32_t progress = slot.last.info.progress;
    if (progress >= 10000) {
        return "√ 下载完成  ";
    }
    return progress > 0 ? DisplayFormat::RowPercent(progress) + "    " : not_started;
}

ControllerSnapshot SnapshotBuilder::Build(const ControllerContext& context, int32_t verify_progress,
                                          int32_t shutdown_seconds) {
    ControllerSnapshot snapshot;
    const DownloadState state = context.state;
    snapshot.state = state;
    snapshot.state_name = StateName(state);
    snapshot.low_space = context.low_space;

    switch (state) {
        case DownloadState::kCheckFinished:
            snapshot.result_line = context.repaired ? "√ 修复成功" : "√ 验证通过";
            break;
        case DownloadState::kFinished:
        case DownloadState::kInstalling:
            snapshot.result_line = "下载完成";
            break;
        default:
            snapshot.speed_line = SpeedLine(context);
            break;
    }
    const bool verifying =
        state == DownloadState::kMd5Checking || state == DownloadState::kCheckFinished;
    if (verifying) {
        snapshot.progress_label = "验证进度:";
        snapshot.percentage = DisplayFormat::Decimal(verify_progress);
    } else if (state == DownloadState::kCheckRecover) {
        snapshot.progress_label = "修复进度:";
        snapshot.percentage = context.repair_progress == 0
                                  ? "准备中"
                                  : DisplayFormat::Decimal(context.repair_progress);
    } else {
        snapshot.progress_label = "当前进度:";
        snapshot.percentage = DisplayFormat::Decimal(context.overall_progress);
    }
    snapshot.game_version = "游戏版本: " + context.config.product.game_version;
    const std::string total = DisplayFormat::Size(context.TotalBytes());
    if (state == DownloadState::kFinished) {
        snapshot.size_line = total + "/" + total;
    } else {
        const std::string done = DisplayFormat::Size(context.downloaded_total);
        snapshot.size_line = (done.empty() ? "0 B" : done) + "/" + total;
    }
    snapshot.save_folder = context.save_folder;
    snapshot.folder_line = "保存位置:" + context.save_folder;
    for (int i = 0; i < 3; ++i) {
        snapshot.rows[i] = {context.File(i).name, RowText(context, i)};
    }

    snapshot.overall_progress = context.overall_progress;
    snapshot.verify_progress = verify_progress;
    snapshot.verify_bar =
        verifying || state == DownloadState::kCheckRecover || state == DownloadState::kInstalling;

    snapshot.buttons = context.buttons;
    snapshot.question = context.question;
    switch (context.question) {
        case Question::kVerify:
            snapshot.question_text = "是否验证安装文件的正确性？";
            break;
        case Question::kCloseChoice:
            snapshot.question_text = "您点击了关闭按钮，您是想：";
            break;
        case Question::kNone:
            break;
    }
    snapshot.shutdown_seconds = shutdown_seconds;
    snapshot.in_tray = context.in_tray;
    snapshot.speed_limit = context.speed_limit;
    snapshot.auto_shutdown = context.auto_shutdown;
    snapshot.p2p_enabled = context.p2p_enabled;

    snapshot.downloaded_bytes = context.downloaded_total;
    snapshot.total_bytes = context.TotalBytes();
    snapshot.speed = context.shown_speed;

    snapshot.exit_requested = context.exit_requested;
    snapshot.user_exit = context.user_exit;
    snapshot.installer_launched = context.installer_launched;
    snapshot.all_verified = context.all_verified;
    snapshot.repair_error = context.repair_error;
    snapshot.install_failed = context.install_failed;
    snapshot.expired = context.expired;
    return snapshot;
}

}  // namespace kf::app
