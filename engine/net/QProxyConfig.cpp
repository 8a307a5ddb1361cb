#include "engine/net/QProxyConfig.h"

#include <mutex>

namespace kf {

bool QProxyConfig::IsUsable() const {
    return type != kNone && address != 0 && address != 0xFFFFFFFFu && port >= 1 && port <= 65535;
}

const std::string& QProxyConfig::EffectiveVerb() const {
    static const std::string kConnect = "CONNECT";
    return verb.empty() ? kConnect : verb;
}

bool QProxyConfig::VerbIsConnect() const {
    return EffectiveVerb() == "CONNECT";
}

namespace {

struct EngineProxyHolder {
    std::mutex mutex;
    QProxyConfig config;
};

EngineProxyHolder& Holder() {
    static EngineProxyHolder holder;
    return holder;
}

}  // namespace

QProxyConfig EngineProxyConfig() {
    EngineProxyHolder& holder = Holder();
    std::lock_guard lock(holder.mutex);
    return holder.config;
}

QProxyConfig EffectiveProxyConfig(const std::optional<QProxyConfig>& task_proxy) {
    return task_proxy ? *task_proxy : EngineProxyConfig();
}

void SetEngineProxyConfig(const QProxyConfig& config) {
    EngineProxyHolder& holder = Holder();
    std::lock_guard lock(holder.mutex);
    holder.config = config;
}

}  // namespace kf
