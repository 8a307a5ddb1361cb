#include "support/BusStub.h"

#include <systemd/sd-bus.h>

namespace kf::test {

namespace {

constexpr uint64_t kWaitMicroseconds = 50000;

BusStub& StubOf(void* user) {
    return *static_cast<BusStub*>(user);
}

int Refuse(sd_bus_error* error) {
    return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "refused by the test");
}

int OnScheduleShutdown(sd_bus_message* message, void* user, sd_bus_error* error) {
    const char* type = nullptr;
    uint64_t usec = 0;
    if (sd_bus_message_read(message, "st", &type, &usec) < 0) {
        return -EINVAL;
    }
    StubOf(user).Record(std::string("ScheduleShutdown ") + type + " " + std::to_string(usec));
    if (StubOf(user).Refuses()) {
        return Refuse(error);
    }
    StubOf(user).SetScheduled();
    return sd_bus_reply_method_return(message, "");
}

int OnCancelScheduledShutdown(sd_bus_message* message, void* user, sd_bus_error* error) {
    StubOf(user).Record("CancelScheduledShutdown");
    if (StubOf(user).Refuses()) {
        return Refuse(error);
    }
    return sd_bus_reply_method_return(message, "b", StubOf(user).TakeScheduled() ? 1 : 0);
}

int OnSetWallMessage(sd_bus_message* message, void* user, sd_bus_error* error) {
    const char* text = nullptr;
    int enable = 0;
    if (sd_bus_message_read(message, "sb", &text, &enable) < 0) {
        return -EINVAL;
    }
    StubOf(user).Record(std::string("SetWallMessage ") + text + " " + std::to_string(enable));
    return StubOf(user).Refuses() ? Refuse(error) : sd_bus_reply_method_return(message, "");
}

int RecordUris(const char* method, sd_bus_message* message, void* user, sd_bus_error* error) {
    char** uris = nullptr;
    const char* startup_id = nullptr;
    if (sd_bus_message_read_strv(message, &uris) < 0 ||
        sd_bus_message_read(message, "s", &startup_id) < 0) {
        return -EINVAL;
    }
    std::string call = method;
    for (char** uri = uris; uri != nullptr && *uri != nullptr; ++uri) {
        call += std::string(" ") + *uri;
        free(*uri);
    }
    free(uris);
    StubOf(user).Record(call);
    return StubOf(user).Refuses() ? Refuse(error) : sd_bus_reply_method_return(message, "");
}

int OnShowItems(sd_bus_message* message, void* user, sd_bus_error* error) {
    return RecordUris("ShowItems", message, user, error);
}

int OnShowFolders(sd_bus_message* message, void* user, sd_bus_error* error) {
    return RecordUris("ShowFolders", message, user, error);
}

const sd_bus_vtable kLoginManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ScheduleShutdown", "st", "", OnScheduleShutdown, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CancelScheduledShutdown", "", "b", OnCancelScheduledShutdown,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetWallMessage", "sb", "", OnSetWallMessage, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kFileManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ShowItems", "ass", "", OnShowItems, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ShowFolders", "ass", "", OnShowFolders, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

BusStub::~BusStub() {
    Stop();
}

bool BusStub::Start(const std::string& address, const Options& options) {
    options_ = options;
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0) {
        return false;
    }
    if (options.login_manager &&
        (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                                  "org.freedesktop.login1.Manager", kLoginManager, this) < 0 ||
         sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0)) {
        return false;
    }
    if (options.file_manager &&
        (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/FileManager1",
                                  "org.freedesktop.FileManager1", kFileManager, this) < 0 ||
         sd_bus_request_name(bus_, "org.freedesktop.FileManager1", 0) < 0)) {
        return false;
    }
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void BusStub::Serve() {
    while (!stop_) {
        const int processed = sd_bus_process(bus_, nullptr);
        if (processed < 0) {
            return;
        }
        if (processed == 0) {
            sd_bus_wait(bus_, kWaitMicroseconds);
        }
    }
}

std::vector<std::string> BusStub::Calls() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

void BusStub::Record(const std::string& call) {
    const std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
}

bool BusStub::TakeScheduled() {
    const bool was = scheduled_;
    scheduled_ = false;
    return was;
}

void BusStub::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    bus_ = sd_bus_flush_close_unref(bus_);
}

}  // namespace kf::test
