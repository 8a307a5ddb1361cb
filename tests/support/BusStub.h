#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sd_bus;

namespace kf::test {

// Stands in, on a private bus (PrivateBus), for the login manager (org.freedesktop.login1:
// ScheduleShutdown, CancelScheduledShutdown, SetWallMessage) and the file manager
// (org.freedesktop.FileManager1: ShowItems, ShowFolders). Each call is recorded as one line of
// text before it is answered, so a caller that got its answer finds its line in Calls():
//   "SetWallMessage <text> <0|1>", "ScheduleShutdown <type> <usec>", "CancelScheduledShutdown",
//   "ShowItems <uri>...", "ShowFolders <uri>..."
// With `refuse` every call is answered with org.freedesktop.DBus.Error.AccessDenied.
// CancelScheduledShutdown answers whether a shutdown was scheduled.
//
// Threads: the service runs on a thread of its own; Calls() may be read from any thread.
class BusStub {
  public:
    struct Options {
        bool login_manager = false;
        bool file_manager = false;
        bool refuse = false;
    };

    BusStub() = default;
    ~BusStub();
    BusStub(const BusStub&) = delete;
    BusStub& operator=(const BusStub&) = delete;

    // Connects to `address`, takes the names and starts serving. False when any step fails.
    bool Start(const std::string& address, const Options& options);
    std::vector<std::string> Calls() const;
    void Stop();

    // For the method handlers.
    bool Refuses() const { return options_.refuse; }
    void Record(const std::string& call);
    bool TakeScheduled();
    void SetScheduled() { scheduled_ = true; }

  private:
    void Serve();

    Options options_;
    sd_bus* bus_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    bool scheduled_ = false;  // only on the service thread
};

}  // namespace kf::test
