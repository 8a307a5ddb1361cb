#include "app/MirrorUpdater.h"

namespace kf::app {

bool MirrorUpdater::Request(FetchRequest::Kind kind) {
    if (!context_.start_fetch) {
        return false;
    }
    FetchRequest request;
    request.kind = kind;
    request.timeout_seconds =
        kind == FetchRequest::Kind::kExpiry ? kExpiryTimeoutSeconds : kFetchTimeoutSeconds;
    const bool verifying = context_.state == DownloadState::kMd5Checking ||
                           context_.state == DownloadState::kCheckRecover;
    request.verify_index = verifying ? context_.verify_index : -1;
    for (int i = 0; i < 3; ++i) {
        request.complete[i] = context_.files[i].complete;
    }
    return context_.start_fetch(request);
}

int MirrorUpdater::Apply(const action::ResourceListDone& done) {
    if (done.kind == FetchRequest::Kind::kExpiry) {
        if (!done.fetched || !done.reading) {
            context_.Log("get XML content failed");
            return -1;
        }
        const ResourceList::Expiry& expiry = done.reading->expiry;
        if (expiry.expired) {
            context_.Message(expiry.message);
            // Only a web address is handed to the opener: the list comes from the network.
            if (expiry.url.rfind("https://", 0) == 0 || expiry.url.rfind("http://", 0) == 0) {
                context_.services.launcher.Open(expiry.url, context_.config.paths.data_folder);
            }
            context_.expired = true;
            // The program's own end, not an unexplained one.
            context_.user_exit = true;
            context_.exit_requested = true;
        }
        return 0;
    }
    if (!done.fetched) {
        context_.Log("Seek res FAILED with XML content failed", LogChannel::kDump);
        return -1;
    }
    if (!done.reading) {
        return -2;
    }
    EngineApi& engine = context_.services.engine;
    context_.p2p_enabled = done.reading->p2p_on;
    engine.EnableP2P(context_.p2p_enabled);
    context_.Log(context_.p2p_enabled ? "启用P2P功能" : "禁用P2P功能");
    bool added = false;
    for (int i = 0; i < 3; ++i) {
        const TaskHandle handle = context_.files[i].handle;
        if (handle == nullptr) {
            continue;
        }
        engine.ClearMirrorSources(handle);
        std::string urls;
        std::string hosts;
        for (const ResourceList::Mirror& mirror : done.reading->mirrors[i]) {
            urls += mirror.url + "\n";
            hosts += mirror.host + "\n";
        }
        if (!urls.empty()) {
            engine.AddMirrorSources(handle, urls, hosts);
            added = true;
        }
    }
    return added ? 0 : -2;
}

}  // namespace kf::app
