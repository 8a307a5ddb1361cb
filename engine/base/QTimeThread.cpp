#include "engine/base/QTimeThread.h"

#include <memory>
#include <mutex>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineLog.h"
#include "engine/os/Tick.h"

namespace kf {

QTimeThread::QTimeThread()
    : QTimeThread(TickMilliseconds, [] { return static_cast<int64_t>(time(nullptr)); }) {}

QTimeThread::QTimeThread(TickSource tick, WallSource wall)
    : tick_(std::move(tick)), wall_(std::move(wall)) {}

QTimeThread::~QTimeThread() {
    StopThread();
}

void QTimeThread::Run() {
    // Each start takes the system clock afresh; from here on only the tick moves it.
    wall_seconds_ = wall_();
    uint64_t base_tick = tick_();
    int64_t base_wall = wall_seconds_.load();
    uint32_t base_counter = counter_seconds_.load();
    while (!IsStopRequested()) {
        Step(base_tick, base_wall, base_counter);
        for (int i = 0; i < 10 && !IsStopRequested(); ++i) {
            SleepMilliseconds(100);
        }
    }
}

void QTimeThread::Step(uint64_t& base_tick, int64_t& base_wall, uint32_t& base_counter) {
    const uint64_t tick = tick_();
    if (tick < base_tick) {
        // The tick counter wrapped: count one second and start measuring again from here.
        base_tick = tick;
        base_wall = ++wall_seconds_;
        base_counter = ++counter_seconds_;
        return;
    }
    const uint64_t elapsed = (tick - base_tick) / 1000;
    wall_seconds_ = base_wall + static_cast<int64_t>(elapsed);
    counter_seconds_ = base_counter + static_cast<uint32_t>(elapsed);
}

namespace {

// The clock object lives until process exit once made; StopClock only stops its thread, so a late
// reader on another thread never touches freed memory. The engine core touches this storage while
// it is constructed so that the storage outlives the core's own clean-up at exit.
struct ClockStorage {
    std::mutex mutex;
    std::unique_ptr<QTimeThread> thread;
    std::atomic<QTimeThread*> instance{nullptr};
};

ClockStorage& Storage() {
    static ClockStorage storage;
    return storage;
}

QTimeThread* RunningClock() {
    QTimeThread* clock = Storage().instance.load();
    if (clock == nullptr) {
        StartClock();
        clock = Storage().instance.load();
    }
    return clock;
}

}  // namespace

void TouchClockStorage() {
    Storage();
}

void StartClock() {
    ClockStorage& storage = Storage();
    std::lock_guard<std::mutex> hold(storage.mutex);
    if (!storage.thread) {
        storage.thread = std::make_unique<QTimeThread>();
        storage.instance = storage.thread.get();
    }
    if (!storage.thread->IsRunning()) {
        storage.thread->StartThread("TimeEnsure");
    }
}

void StopClock() {
    ClockStorage& storage = Storage();
    std::lock_guard<std::mutex> hold(storage.mutex);
    if (storage.thread && storage.thread->IsRunning()) {
        storage.thread->StopThread();
        EngineLogWrite("Time Ensure Thread Stopped.. ", LogChannel::kServiceStop);
    }
}

int64_t NowSeconds() {
    const int64_t seconds = RunningClock()->WallSeconds();
    return seconds != 0 ? seconds : static_cast<int64_t>(time(nullptr));
}

uint32_t SecondsSinceStart() {
    return RunningClock()->CounterSeconds();
}

}  // namespace kf
