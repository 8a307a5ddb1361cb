#include "engine/api/AsyncMessage.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/base/EngineLog.h"
#include "engine/base/EventSink.h"

namespace kf {
namespace {

void PresentWithoutWindow(void*, const std::string& text, const std::string& caption, uint32_t) {
    const std::string line = caption.empty() ? text : caption + ": " + text;
    EngineLogWrite(line, LogChannel::kMessage);
    const std::string terminal_line = line + "\n";
    [[maybe_unused]] ssize_t written =
        write(STDERR_FILENO, terminal_line.data(), terminal_line.size());
}

struct MessageThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

struct MessageStorage {
    std::mutex mutex;
    AsyncMessage::Presenter presenter = PresentWithoutWindow;
    std::list<MessageThread> threads;

    // Joins the threads whose message has been dismissed.
    void ReapFinished() {
        for (auto it = threads.begin(); it != threads.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
    }
};

MessageStorage& Storage() {
    static MessageStorage storage;
    return storage;
}

// A message ends with the machine id, so that a user who passes it on tells support which
// machine's reports to look at: line break, full-width "(", id, full-width ")".
std::string WithMachineText(const std::string& text) {
    const std::string machine = EventSinkMachineText();
    return machine.empty() ? text : text + "\n\xEF\xBC\x88" + machine + "\xEF\xBC\x89";
}

}  // namespace

int32_t AsyncMessage::Show(void* owner, const char* text, const char* caption, uint32_t type) {
    MessageStorage& storage = Storage();
    std::lock_guard<std::mutex> hold(storage.mutex);
    storage.ReapFinished();

    auto taken = std::make_shared<std::promise<void>>();
    std::future<void> taken_signal = taken->get_future();
    const std::string text_copy = text != nullptr ? text : "";
    const std::string caption_copy = caption != nullptr ? caption : "";
    MessageThread& entry = storage.threads.emplace_back();
    try {
        entry.thread = std::thread([taken, done = entry.done, presenter = storage.presenter, owner,
                                    text_copy, caption_copy, type] {
            // The arguments are copies owned by this thread from here on.
            taken->set_value();
            presenter(owner, WithMachineText(text_copy), caption_copy, type);
            done->store(true);
        });
    } catch (...) {
        storage.threads.pop_back();
        return 0;
    }
    return taken_signal.wait_for(std::chrono::milliseconds(2000)) == std::future_status::ready ? 1
                                                                                               : 0;
}

void AsyncMessage::SetPresenter(Presenter presenter) {
    std::lock_guard<std::mutex> hold(Storage().mutex);
    Storage().presenter = presenter ? std::move(presenter) : PresentWithoutWindow;
}

void AsyncMessage::JoinAll() {
    std::list<MessageThread> threads;
    {
        std::lock_guard<std::mutex> hold(Storage().mutex);
        threads.swap(Storage().threads);
    }
    for (MessageThread& entry : threads) {
        entry.thread.join();
    }
}

}  // namespace kf
