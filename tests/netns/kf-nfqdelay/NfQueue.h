#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct nfq_handle;
struct nfq_q_handle;
struct nfgenmsg;
struct nfq_data;

namespace kf {

// One bound NFQUEUE of the current network namespace (libnetfilter_queue), delivering packet ids
// only (no payload is copied) and taking a verdict per id.
//
// Owner and threads: kf-nfqdelay's main loop; one thread, no lock. Not movable: the library keeps
// a pointer to the object for its callback.
// Results: Open answers null and a reason when the queue cannot be bound (not root, another
// reader). ReadPackets answers false only for a socket error other than "would block" or "the
// kernel dropped messages" (counted in overruns()).
// Limits: at most kKernelQueueLength packets wait in the kernel; beyond that the kernel drops.
// Destroying the object unbinds the queue: packets still queued are then dropped by the kernel,
// so give every held packet its verdict first.
class NfQueue {
  public:
    static constexpr uint32_t kKernelQueueLength = 20000;

    static std::unique_ptr<NfQueue> Open(uint16_t queue, std::string* error);
    // Only Open makes one (the key is private).
    class Key {
        friend class NfQueue;
        Key() = default;
    };
    explicit NfQueue(Key) {}
    NfQueue(const NfQueue&) = delete;
    NfQueue& operator=(const NfQueue&) = delete;
    ~NfQueue();

    // The descriptor to wait on for readability.
    int fd() const;
    // Reads what the socket holds without blocking and calls `on_packet` with each packet's id.
    bool ReadPackets(const std::function<void(uint32_t id)>& on_packet);
    // Accepts or drops the packet; false when the kernel refused the verdict.
    bool Verdict(uint32_t id, bool accept);
    uint64_t overruns() const { return overruns_; }

  private:
    struct HandleCloser {
        void operator()(nfq_handle* handle) const;
    };
    struct QueueCloser {
        void operator()(nfq_q_handle* queue) const;
    };

    static int OnPacket(nfq_q_handle* queue, nfgenmsg* message, nfq_data* data, void* self);

    // Declared in this order so that the queue is destroyed before its handle.
    std::unique_ptr<nfq_handle, HandleCloser> handle_;
    std::unique_ptr<nfq_q_handle, QueueCloser> queue_;
    const std::function<void(uint32_t)>* on_packet_ = nullptr;
    uint64_t overruns_ = 0;
};

}  // namespace kf
