#include "app/CDownloadController.h"

#include "app/IniKeys.h"
#include "app/SnapshotBuilder.h"

namespace kf::app {
namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

// Who the download report says is downloading: the game and the distribution channel.
constexpr const char* kGameId = "772";
constexpr const char* kChannel = "1";

}  // namespace

CDownloadController::CDownloadController(ControllerConfig config, ControllerServices services)
    : context_(std::move(config), std::move(services)),
      factory_(context_),
      limits_(context_),
      persistence_(context_, factory_, limits_),
      verifier_(context_, persistence_, limits_),
      install_exit_(context_, verifier_),
      mirrors_(context_),
      machine_(context_, persistence_, factory_, limits_, install_exit_, mirrors_) {
    verifier_.on_verified = [this] { MainAction(); };
    verifier_.on_installer_checked = [this] { install_exit_.LaunchInstaller(false); };
}

void CDownloadController::SetWorkers(std::function<bool(const DigestRequest&)> start_digest,
                                     std::function<bool(const FetchRequest&)> start_fetch) {
    context_.start_digest = std::move(start_digest);
    context_.start_fetch = std::move(start_fetch);
}

int CDownloadController::Init() {
    ControllerContext& c = context_;
    c.services.engine.CreateEngineLog();
    const ControllerConfig& config = c.config;
    if (c.TotalBytes() <= 0) {
        init_result_ = -1;
    } else {
        c.services.disk.CreateFolders(config.paths.data_folder);
        c.services.engine.EngineLogSetPathPrefix(config.paths.log_prefix);
        c.Log("=====================正在初始化=====================", LogChannel::kStartup);
        std::string written;
        if (factory_.Release(config.product.telemetry_config, config.paths.data_folder,
                             "dataupload.kfconf", &written) < 0) {
            c.Log("KFconf资源释放失败");
            c.Event("11400190", EventReport::Plain("KFconf资源释放失败"));
            init_result_ = -2;
        } else {
            c.services.engine.CollectDataUpload(written, kGameId, KF_APP_VERSION,
                                                config.product.game_version, kChannel);
        }
    }
    if (init_result_ < 0) {
        // The window would close at once: the exit is the program's own.
        c.user_exit = true;
        c.exit_requested = true;
        return init_result_;
    }
    // The port for incoming peers, forwarded by the LAN's gateway in the background (0 when none
    // could be chosen: the engine's default port). The previous run's port is tried first, so
    // that its forwarding is reused.
    c.services.engine.SetListenPort(
        c.services.engine.MapListenPort(config.paths.data_folder + "/upnp.port"));
    if (!config.product.rendezvous_host.empty()) {
        c.services.engine.SetRendezvousServer(config.product.rendezvous_host,
                                              config.product.rendezvous_port);
    }
    // The DHT runs where the product names nodes to join through; without any it could only
    // wait for others to find it.
    if (!config.product.dht_bootstrap.empty()) {
        c.services.engine.SetDhtBootstrapNodes(config.product.dht_bootstrap);
        c.services.engine.EnableDht(true);
    }
    c.user_exit = false;
    c.installer_launched = false;
    c.Log("自我恢复功能关闭", LogChannel::kStartup);
    const auto link = static_cast<uint32_t>(
        IniFile(config.task_link_file).GetInt(ini::kTaskSection, ini::kTaskLink, 0));
    c.http_conn_total = link >= 10 && link <= 200 ? static_cast<int32_t>(link) : 36;
    c.bt_peer_total = 108;

    const bool reloaded = persistence_.Decide();
    machine_.PauseIfStalled();
    c.buttons.Initial(reloaded);
    if (!reloaded) {
        mirrors_.Request(FetchRequest::Kind::kExpiry);
    }
    machine_.NoteStateChange();
    init_result_ = reloaded ? 1 : 0;
    return init_result_;
}

void CDownloadController::MainAction() {
    ControllerContext& c = context_;
    switch (c.state) {
        case DownloadState::kBack:
        case DownloadState::kReady:
            // A start that went ahead shows pause through the state's buttons; one that was
            // refused (space, the engine) keeps the start button, so that pressing it retries.
            machine_.Start();
            break;
        case DownloadState::kPreparing:
        case DownloadState::kDownloading:
        case DownloadState::kResume:
            machine_.Pause(true);
            break;
        case DownloadState::kPause:
            machine_.Resume();
            break;
        case DownloadState::kFinished:
            c.Event("11070000", EventReport::Plain({}));
            c.question = Question::kVerify;
            break;
        case DownloadState::kMd5Checking:
            c.Message("MD5计算工作中……请等待完成");
            break;
        case DownloadState::kCheckRecover:
            c.Message("部分文件错误，正在修复中...");
            break;
        case DownloadState::kCheckFinished:
            c.Event("11070000", EventReport::Plain("点击时已经验证过安装包分卷了"));
            install_exit_.Install(true);
            break;
        default:
            break;
    }
}

void CDownloadController::OnVerifyAnswer(const action::VerifyAnswer& answer) {
    if (context_.question != Question::kVerify || context_.state != DownloadState::kFinished) {
        return;
    }
    context_.question = Question::kNone;
    if (answer.verify) {
        context_.Event("11100001", EventReport::Plain({}));
        verifier_.Verify(answer.install_after);
    } else {
        context_.Event("11100002", EventReport::Plain({}));
        install_exit_.Install(false);
    }
}

void CDownloadController::OnSpeedLimit(int32_t kib_per_second) {
    if (kib_per_second != 0 && (kib_per_second < 10 || kib_per_second > 30000)) {
        context_.Message("您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！",
                         "警告");
        return;
    }
    context_.speed_limit = kib_per_second;
    limits_.ApplySpeedLimit();
}

void CDownloadController::Handle(const ControllerAction& action) {
    ControllerContext& c = context_;
    std::visit(Overloaded{
                   [this](const action::MainAction&) { MainAction(); },
                   [this](const action::VerifyAnswer& answer) { OnVerifyAnswer(answer); },
                   [this](const action::CloseWindow&) { install_exit_.CloseWindow(); },
                   [this](const action::CloseChoice& choice) {
                       install_exit_.OnCloseChoice(choice.choice, choice.remember);
                   },
                   [this](const action::RestoreFromTray&) { install_exit_.RestoreFromTray(); },
                   [this](const action::ExitFromTray&) { install_exit_.ExitFromTray(); },
                   [this](const action::SpeedLimit& limit) { OnSpeedLimit(limit.kib_per_second); },
                   [this, &c](const action::AutoShutdown& shutdown) {
                       c.auto_shutdown = shutdown.on;
                       if (!shutdown.on) {
                           install_exit_.CancelShutdown();
                       }
                   },
                   [this](const action::CancelShutdown&) { install_exit_.CancelShutdown(); },
                   [&c](const action::P2P& p2p) {
                       c.p2p_enabled = p2p.on;
                       c.services.engine.EnableP2P(p2p.on);
                   },
                   [this](const action::ChangeSaveFolder& folder) {
                       install_exit_.ChangeSaveFolder(folder.chosen);
                   },
                   [this](const action::ShowSaveFolder&) { install_exit_.ShowSaveFolder(); },
                   [&c](const action::Exit& exit) {
                       c.user_exit = c.user_exit || exit.user;
                       c.exit_requested = true;
                   },
                   [this](const action::DigestProgress& progress) {
                       verifier_.OnDigestProgress(progress.generation, progress.progress);
                   },
                   [this](const action::DigestDone& done) {
                       verifier_.OnDigestDone(done.generation, done.digest);
                   },
                   [this](const action::ResourceListDone& done) { mirrors_.Apply(done); },
               },
               action);
    if (IsUserAction(action)) {
        ++user_actions_;
    }
    machine_.NoteStateChange();
}

void CDownloadController::Tick100() {
    ++status_ticks_;
    machine_.StatusTick();
}

void CDownloadController::TickSecond() {
    ++second_ticks_;
    const DownloadState state = context_.state;
    if (state != DownloadState::kFinished && state != DownloadState::kCheckFinished) {
        machine_.SecondTick();
        verifier_.SecondTick();
        machine_.NoteStateChange();
    }
}

void CDownloadController::ExitCleanup() {
    install_exit_.ExitCleanup();
}

ControllerSnapshot CDownloadController::Snapshot() const {
    ControllerSnapshot snapshot = SnapshotBuilder::Build(context_, verifier_.OverallProgress(),
                                                         install_exit_.ShutdownSecondsLeft());
    snapshot.status_ticks = status_ticks_;
    snapshot.second_ticks = second_ticks_;
    snapshot.user_actions = user_actions_;
    snapshot.init_result = init_result_;
    return snapshot;
}

}  // namespace kf::app
