#include "app/Verifier.h"

#include <algorithm>

#include "app/TaskStatus.h"

namespace kf::app {
namespace {

std::string Rounds(int rounds) {
    return "修复次数：" + std::to_string(rounds);
}

}  // namespace

void Verifier::Verify(bool install_after) {
    context_.SetState(DownloadState::kMd5Checking);
    context_.verify_index = 0;
    context_.verify_progress = 0;
    context_.repaired = false;
    context_.all_verified = false;
    persistence_.WriteStartKeys();
    install_after_ = install_after;
    full_ = true;
    state_before_ = DownloadState::kFinished;
    plan_ = {0, 1, 2};
    position_ = 0;
    CheckNext();
}

void Verifier::CheckInstaller(int index) {
    state_before_ = context_.state;
    context_.SetState(DownloadState::kMd5Checking);
    full_ = false;
    install_after_ = false;
    plan_ = {index};
    position_ = 0;
    CheckNext();
}

void Verifier::CheckNext() {
    if (position_ >= plan_.size()) {
        Finish();
        return;
    }
    const int index = plan_[position_];
    context_.verify_index = index;
    context_.verify_progress = 0;
    phase_ = Phase::kFirstCheck;
    if (!StartDigest(index)) {
        context_.Message("检查线程创建失败，请重试");
        // Back where the question was asked, so that the user can try again.
        phase_ = Phase::kIdle;
        context_.SetState(state_before_);
    }
}

bool Verifier::StartDigest(int index) {
    ++generation_;
    return context_.start_digest && context_.start_digest({generation_, context_.FilePath(index)});
}

void Verifier::OnDigestProgress(uint64_t generation, int32_t progress) {
    if (generation == generation_ && (phase_ == Phase::kFirstCheck || phase_ == Phase::kRecheck)) {
        context_.verify_progress = std::clamp(progress, 0, 10000);
    }
}

void Verifier::OnDigestDone(uint64_t generation, const std::string& digest) {
    if (generation != generation_ || (phase_ != Phase::kFirstCheck && phase_ != Phase::kRecheck)) {
        return;
    }
    const int index = plan_[position_];
    const ProductFile& file = context_.File(index);
    const bool recheck = phase_ == Phase::kRecheck;
    if (recheck) {
        ++rounds_;
    }
    const std::string figures = file.name + "，Except：" + file.md5 + "，Actural：" + digest;
    if (digest == file.md5) {
        context_.Log("MD5匹配：" + figures);
        if (recheck) {
            context_.Event("11100003", EventReport::File(file.name, Rounds(rounds_)));
        }
        context_.repair_index = -1;
        ++position_;
        CheckNext();
        return;
    }
    context_.repaired = true;
    context_.verify_index = index;
    context_.verify_progress = 0;
    context_.Log("MD5不匹配：" + figures);
    if (!recheck) {
        context_.Event("11500201", EventReport::File(file.name, "MD5 unmatched (" + digest + ")"));
        rounds_ = 0;
    }
    if (rounds_ >= kMaxRepairRounds) {
        context_.Message(
            "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进"
            "行再次修复");
        context_.Event("11990501", EventReport::File(file.name, Rounds(rounds_)));
        context_.repair_index = -1;
        context_.SetState(DownloadState::kFailed);
        phase_ = Phase::kIdle;
        return;
    }
    StartRepairRound();
}

void Verifier::StartRepairRound() {
    const int index = plan_[position_];
    context_.SetState(DownloadState::kCheckRecover);
    context_.repair_progress = 0;
    context_.repair_speed = 0;
    FileSlot& slot = context_.files[index];
    if (slot.handle != nullptr) {
        context_.services.engine.StopTask(slot.handle, false);
    }
    // Without its records the engine rechecks every piece of the file instead of trusting what
    // it saved when the file was whole.
    context_.services.disk.RemoveFile(context_.resume_path[index]);
    context_.services.disk.RemoveFile(context_.resume_path[index] + "df");
    bool recovered = false;
    for (int attempt = 0; attempt < kRecoverAttempts && !recovered; ++attempt) {
        recovered = persistence_.RecoverTask(index, true);
    }
    if (!recovered) {
        Stuck("修复出错，请尝试重新启动下载器");
        return;
    }
    context_.repair_index = index;
    phase_ = Phase::kRepairWait;
    limits_.ApplySpeedLimit();
    limits_.ShareBudgets();
}

void Verifier::Stuck(const std::string& message) {
    context_.Message(message);
    context_.repair_error = true;
    context_.repair_index = -1;
    phase_ = Phase::kStuck;
}

void Verifier::SecondTick() {
    if (phase_ != Phase::kRepairWait) {
        return;
    }
    const int index = plan_[position_];
    TaskInfoEx info{};
    if (context_.services.engine.QueryTaskInfo(context_.files[index].handle, &info) != KF_OK) {
        return;
    }
    if (IsFatalStatus(info.info.status)) {
        // The task's thread has ended: the repair would wait for ever.
        Stuck("修复出错，请尝试重新启动下载器");
        return;
    }
    const DiskInfo::FileFacts facts = context_.services.disk.Stat(context_.FilePath(index));
    if (info.info.progress >= 10000 && facts.exists && !facts.is_folder) {
        persistence_.WriteFinishInfo(index);
        context_.SetState(DownloadState::kMd5Checking);
        context_.verify_progress = 0;
        phase_ = Phase::kRecheck;
        if (!StartDigest(index)) {
            Stuck("检查线程创建失败，请重试");
        }
        return;
    }
    context_.repair_progress = std::clamp(info.info.progress, 0, 10000);
    context_.repair_speed = static_cast<uint32_t>(std::max(info.info.speed, 0));
}

void Verifier::Finish() {
    phase_ = Phase::kIdle;
    if (!full_) {
        context_.SetState(state_before_);
        if (on_installer_checked) {
            on_installer_checked();
        }
        return;
    }
    context_.Event("11100004", EventReport::Plain({}));
    context_.SetState(DownloadState::kCheckFinished);
    context_.all_verified = true;
    if (install_after_ && on_verified) {
        on_verified();
    }
}

int32_t Verifier::OverallProgress() const {
    int64_t weighted = 0;
    int64_t weights = 0;
    for (int i = 0; i < 3; ++i) {
        // At least 1 MiB of weight each, so that small files never make this divide by zero.
        const int64_t weight = std::max<int64_t>(context_.File(i).size >> 20, 1);
        int32_t progress = 0;
        if (i < context_.verify_index) {
            progress = 10000;
        } else if (i == context_.verify_index) {
            progress = context_.verify_progress > 9999 ? 10000 : context_.verify_progress;
        }
        weighted += weight * progress;
        weights += weight;
    }
    return static_cast<int32_t>(weighted / weights);
}

}  // namespace kf::app
