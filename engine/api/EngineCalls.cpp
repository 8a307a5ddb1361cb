// The engine call interface: every call is serialised by EngineCallMutex, checks its handle against
// the task table, and turns anything thrown inside into a result code.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/api/AsyncMessage.h"
#include "engine/api/CKestrelfetchCore.h"
#include "engine/base/EngineGlobals.h"
#include "engine/base/EngineLog.h"
#include "engine/base/EngineNotices.h"
#include "engine/base/EventSink.h"
#include "engine/base/ParseNumber.h"
#include "engine/dht/CKademlia.h"
#include "engine/dht/DhtNodeList.h"
#include "engine/kestrelfetch.h"
#include "engine/net/CIPFilterHolder.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/ProxyUrl.h"
#include "engine/net/QProxyConfig.h"
#include "engine/os/DiskSpace.h"
#include "engine/task/TWorkThread.h"
#include "engine/udp/QUInternalServer.h"

namespace kf {
namespace {

QTMutex& CallMutex() {
    return EngineGlobals::Instance().engine_call_mutex;
}

TaskTable& Tasks() {
    return CKestrelfetchCore::Instance().Tasks();
}

// Runs `body` on a live task under EngineCallMutex: -106 for an unknown handle, -107 for a throw.
template <class Body>
int32_t WithTask(KfTaskHandle handle, Body&& body, int32_t unknown = KF_ERR_UNKNOWN_TASK,
                 int32_t failed = KF_ERR_INTERNAL) {
    try {
        QTMutexLock call(CallMutex());
        TWorkThread* task = Tasks().Find(handle);
        if (task == nullptr) {
            return unknown;
        }
        return body(*task);
    } catch (...) {
        return failed;
    }
}

// Creation steps shared by create and recover. Answers 0 with the handle in the record.
int32_t CreateTask(TaskParams* params, bool recovery, bool force, TWorkThread** created) {
    if (params == nullptr) {
        return KF_ERR_PARAM;
    }
    std::unique_ptr<TWorkThread> task;
    try {
        task = std::make_unique<TWorkThread>(CKestrelfetchCore::Instance().Swarm());
    } catch (const std::bad_alloc&) {
        return KF_ERR_NO_MEMORY;
    }
    task->Configure(*params);
    if (!(recovery && force) && Tasks().HasDuplicateOf(*task)) {
        return KF_ERR_DUPLICATE;
    }
    TWorkThread& entered = Tasks().Enter(std::move(task));
    params->handle = const_cast<void*>(entered.Handle());
    char line[KF_TEXT_MAX + 128];
    snprintf(line, sizeof(line), "%s %s, Download, ID : %lu] [Target File : (%s) ",
             recovery ? "Recover" : "Create", entered.KindText(),
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(params->handle)),
             entered.TargetFile().c_str());
    EngineLogWrite(line, LogChannel::kTask);
    *created = &entered;
    return KF_OK;
}

int32_t FinishStop(TWorkThread& task, int32_t reset) {
    task.RestoreSourceMarks();
    if (reset != 0) {
        task.Reset(true, true);
    }
    return KF_OK;
}

}  // namespace
}  // namespace kf

using namespace kf;

extern "C" {

int32_t InitEngine(const char* /*folder*/) {
    try {
        QTMutexLock call(CallMutex());
        EngineGlobals::Instance().initialised = true;
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t CleanupEngine(void) {
    try {
        QTMutexLock call(CallMutex());
        CKestrelfetchCore::Instance().Cleanup();
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t CreateAndStartTask(TaskParams* params) {
    try {
        QTMutexLock call(CallMutex());
        TWorkThread* task = nullptr;
        const int32_t result = CreateTask(params, false, false, &task);
        return result != KF_OK ? result : task->StartDownload();
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t RecoverAndContinueTask(TaskParams* params, uint8_t force) {
    try {
        QTMutexLock call(CallMutex());
        TWorkThread* task = nullptr;
        const int32_t result = CreateTask(params, true, force != 0, &task);
        return result != KF_OK ? result : task->ContinueDownload();
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t StopTask(KfTaskHandle handle, int32_t reset) {
    return WithTask(handle, [reset](TWorkThread& task) {
        if (task.Stop() != KF_OK) {
            return KF_ERR_INTERNAL;
        }
        return FinishStop(task, reset);
    });
}

int32_t StopTasks(const KfTaskHandle* handles, int32_t count, int32_t reset, int32_t* results) {
    try {
        QTMutexLock call(CallMutex());
        struct Stopping {
            int32_t index;
            TWorkThread* task;
            uint32_t generation;
        };
        std::vector<Stopping> stopping;
        for (int32_t i = 0; handles != nullptr && i < count; ++i) {
            TWorkThread* task = Tasks().Find(handles[i]);
            if (results != nullptr) {
                results[i] = task != nullptr ? KF_OK : KF_ERR_UNKNOWN_TASK;
            }
            if (task != nullptr) {
                // Every thread is told first, so that they all wind down together.
                stopping.push_back({i, task, task->RequestStop()});
            }
        }
        for (Stopping& entry : stopping) {
            int32_t result;
            try {
                entry.task->Stop();  // joins the thread told above
                result = FinishStop(*entry.task, reset);
            } catch (...) {
                result = KF_ERR_INTERNAL;
            }
            if (results != nullptr) {
                results[entry.index] = result;
            }
        }
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t StartTask(KfTaskHandle handle) {
    return WithTask(handle, [](TWorkThread& task) { return task.Start(); });
}

int32_t QueryTaskInfo(KfTaskHandle handle, TaskInfo* info) {
    return WithTask(handle, [info](TWorkThread& task) {
        if (info == nullptr) {
            return KF_ERR_PARAM;
        }
        task.FillTaskInfo(*info);
        return KF_OK;
    });
}

int32_t QueryTaskInfoEx(KfTaskHandle handle, TaskInfoEx* info) {
    return WithTask(handle, [info](TWorkThread& task) {
        if (info == nullptr) {
            return KF_ERR_PARAM;
        }
        task.FillTaskInfoEx(*info);
        return KF_OK;
    });
}

int32_t QueryTorrentSummary(KfTaskHandle handle, TorrentSummary* summary) {
    return WithTask(handle, [summary](TWorkThread& task) {
        if (summary == nullptr) {
            return KF_ERR_PARAM;
        }
        task.FillTorrentSummary(*summary);
        return KF_OK;
    });
}

int32_t RestartTask(KfTaskHandle handle) {
    return WithTask(handle, [](TWorkThread& task) { return task.Restart(); });
}

int32_t AppendTaskNote(KfTaskHandle handle, const char* line) {
    return WithTask(handle, [line](TWorkThread& task) {
        return line != nullptr && task.AppendNote(line) ? KF_OK : KF_ERR_PARAM;
    });
}

int32_t ReadTaskNote(KfTaskHandle handle, char* buffer, int32_t size) {
    return WithTask(handle, [buffer, size](TWorkThread& task) {
        const std::string note = task.Note();
        if (buffer != nullptr && size > 0) {
            const size_t count = std::min(note.size(), static_cast<size_t>(size) - 1);
            std::memcpy(buffer, note.data(), count);
            buffer[count] = '\0';
        }
        return static_cast<int32_t>(note.size());
    });
}

int32_t IsTaskComplete(KfTaskHandle handle, int32_t* complete) {
    return WithTask(handle, [complete](TWorkThread& task) {
        if (complete == nullptr) {
            return KF_ERR_PARAM;
        }
        *complete = task.IsComplete() ? 1 : 0;
        return KF_OK;
    });
}

int32_t SetTaskSpeedLimit(KfTaskHandle handle, int32_t direction, int32_t kib_per_second) {
    return WithTask(handle, [direction, kib_per_second](TWorkThread& task) {
        return task.SetSpeedLimit(direction, kib_per_second);
    });
}

int32_t SetTaskConnectionLimits(KfTaskHandle handle, int32_t source_connections, int32_t bt_peers) {
    return WithTask(handle, [source_connections, bt_peers](TWorkThread& task) {
        task.SetConnectionLimits(source_connections, bt_peers);
        return KF_OK;
    });
}

int32_t SetTaskSeedingHours(KfTaskHandle handle, int32_t hours) {
    return WithTask(handle, [hours](TWorkThread& task) {
        task.SetSeedingHours(hours);
        return KF_OK;
    });
}

int32_t IsTaskRunning(KfTaskHandle handle, int32_t* running) {
    return WithTask(handle, [running](TWorkThread& task) {
        if (running == nullptr) {
            return KF_ERR_PARAM;
        }
        *running = task.IsRunning() ? 1 : 0;
        return KF_OK;
    });
}

int32_t GetTaskBitfieldSize(KfTaskHandle handle) {
    return WithTask(
        handle, [](TWorkThread& task) { return task.BitfieldSize(); }, KF_ERR_BITFIELD,
        KF_ERR_BITFIELD);
}

int32_t ReadTaskBitfield(KfTaskHandle handle, uint8_t* buffer, int32_t size) {
    return WithTask(
        handle, [buffer, size](TWorkThread& task) { return task.ReadBitfield(buffer, size); },
        KF_ERR_BITFIELD, KF_ERR_BITFIELD);
}

int32_t ClearMirrorSources(KfTaskHandle handle) {
    return WithTask(handle, [](TWorkThread& task) {
        task.ClearMirrors();
        return KF_OK;
    });
}

int32_t AddMirrorSources(KfTaskHandle handle, const char* url_lines, const char* host_lines) {
    return WithTask(handle, [url_lines, host_lines](TWorkThread& task) {
        task.AddMirrors(url_lines, host_lines);
        return KF_OK;
    });
}

int32_t SetListenPort(int32_t port) {
    EngineGlobals::Instance().listen_port = port;
    return KF_OK;
}

int32_t EnableP2P(int32_t enable) {
    EngineGlobals::Instance().p2p_enabled = enable != 0;
    return KF_OK;
}

void SetHttpWrappedHandshake(int32_t enable) {
    EngineGlobals::Instance().http_wrapped_handshake = enable != 0;
}

int32_t SetListenAddress(const char* ip) {
    try {
        uint32_t address = 0;
        if (ip != nullptr && ip[0] != '\0' && std::string_view(ip) != "0.0.0.0") {
            address = IsDigitsAndDots(ip) ? ParseDottedAddress(ip) : kNoAddress;
            if (!IsValidAddress(address)) {
                return KF_ERR_PARAM;
            }
        }
        EngineGlobals::Instance().bind_ip = address;
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t SetRendezvousServer(const char* host, int32_t port) {
    try {
        const std::string_view name = host == nullptr ? std::string_view() : host;
        return QUInternalServer::Engine().SetRendezvous(name, port) ? KF_OK : KF_ERR_PARAM;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t GetEngineExternalAddress(char* text, int32_t size) {
    try {
        if (text == nullptr || size < 16) {
            return KF_ERR_PARAM;
        }
        text[0] = '\0';
        const uint32_t address = QUInternalServer::Engine().ExternalAddress();
        if (!IsValidAddress(address)) {
            return 0;
        }
        const std::string dotted = DottedText(address);
        snprintf(text, static_cast<size_t>(size), "%s", dotted.c_str());
        return static_cast<int32_t>(dotted.size());
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t PreferUdpTransport(int32_t enable) {
    EngineGlobals::Instance().prefer_udp_transport = enable != 0;
    return KF_OK;
}

int32_t EnableLanDiscovery(int32_t enable) {
    EngineGlobals::Instance().lan_enabled = enable != 0;
    return KF_OK;
}

int32_t EnableDht(int32_t enable) {
    try {
        QTMutexLock call(CallMutex());
        CKestrelfetchCore::Instance().RequestDht(enable != 0);
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t SetDhtBootstrapNodes(const char* nodes) {
    try {
        std::optional<std::vector<std::string>> entries =
            ParseDhtNodeList(nodes == nullptr ? "" : nodes);
        if (!entries) {
            return KF_ERR_PARAM;
        }
        CKademlia::Instance().SetBootstrap(std::move(*entries));
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t GetDhtCounters(KfDhtCounters* counters) {
    try {
        if (counters == nullptr) {
            return KF_ERR_PARAM;
        }
        CKademlia& dht = CKademlia::Instance();
        const CKademlia::Counters now = dht.GetCounters();
        *counters = KfDhtCounters{dht.IsRunning() ? 1 : 0,
                                  0,
                                  now.nodes,
                                  now.good_nodes,
                                  now.messages_in,
                                  now.bytes_in,
                                  now.messages_out,
                                  now.bytes_out};
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t SetLanInterface(const char* ip) {
    try {
        const uint32_t address = ParseLocalAddressSetting(ip == nullptr ? "" : ip);
        if (address == kNoAddress) {
            return KF_ERR_PARAM;
        }
        EngineGlobals::Instance().lan_interface = address;
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t SetEngineProxy(const char* proxy_url) {
    try {
        QProxyConfig config;  // type 0: direct connections
        if (proxy_url != nullptr && proxy_url[0] != '\0') {
            const std::optional<ProxyUrl> proxy = ParseProxyUrl(proxy_url);
            const std::optional<QProxyConfig> usable = proxy ? ToProxyConfig(*proxy) : std::nullopt;
            if (!usable) {
                return KF_ERR_PARAM;
            }
            config = *usable;
        }
        SetEngineProxyConfig(config);
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t SetTaskProxy(KfTaskHandle handle, const char* proxy_url) {
    return WithTask(handle, [proxy_url](TWorkThread& task) {
        std::optional<QProxyConfig> config;
        if (proxy_url != nullptr && proxy_url[0] != '\0') {
            const std::optional<ProxyUrl> proxy = ParseProxyUrl(proxy_url);
            config = proxy ? ToProxyConfig(*proxy) : std::nullopt;
            if (!config) {
                return KF_ERR_PARAM;
            }
        }
        task.SetPeerProxy(std::move(config));
        return KF_OK;
    });
}

int32_t SetIpFilterFile(const char* path) {
    try {
        if (path == nullptr || path[0] == '\0') {
            GlobalIpFilter().Clear();
            return 0;
        }
        const int32_t ranges = GlobalIpFilter().LoadFile(path);
        return ranges < 0 ? KF_ERR_PARAM : ranges;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int32_t SetEngineNoticeCallback(KfNoticeCallback callback, void* context) {
    try {
        SetNoticeCallback(callback, context);
        return KF_OK;
    } catch (...) {
        return KF_ERR_INTERNAL;
    }
}

int64_t GetDiskFreeBytes(const char* path) {
    try {
        if (path == nullptr || path[0] != '/') {
            return 0;
        }
        return FreeBytesAt(path).value_or(0);
    } catch (...) {
        return 0;
    }
}

int32_t ShowMessageAsync(void* owner, const char* text, const char* caption, uint32_t type) {
    try {
        return AsyncMessage::Show(owner, text, caption, type);
    } catch (...) {
        return 0;
    }
}

int64_t ParseInt64(const char* text) {
    return text == nullptr ? 0 : ParseInt64Text(text);
}

int32_t ParseInt32(const char* text) {
    return text == nullptr ? 0 : ParseInt32Text(text);
}

int64_t GetFileAllocatedSize(const char* path) {
    try {
        return path == nullptr ? 0 : AllocatedBytes(path);
    } catch (...) {
        return -1;
    }
}

void CreateEngineLog(void) {
    try {
        CreateGlobalLog();
    } catch (...) {
    }
}

void ReleaseEngineLog(void) {
    // The report uploader first: its last posts may still write to the log.
    ShutdownEventSink();
    ReleaseGlobalLog();
}

void EngineLogSetThresholds(int32_t file_threshold, int32_t debug_threshold) {
    GlobalLogSetThresholds(file_threshold, debug_threshold);
}

void EngineLogSetPathPrefix(const char* prefix) {
    try {
        GlobalLogSetPathPrefix(prefix);
    } catch (...) {
    }
}

void EngineLogWrite(const char* text, int32_t channel, int32_t level) {
    try {
        GlobalLogWrite(text, channel, level);
    } catch (...) {
    }
}

const char* GetEngineVersion(void) {
    return KF_VERSION;
}

}  // extern "C"
