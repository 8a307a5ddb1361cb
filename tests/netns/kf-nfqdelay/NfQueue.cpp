#include "NfQueue.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netfilter.h>
#include <string.h>
#include <sys/socket.h>

#include <array>

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

namespace kf {

void NfQueue::HandleCloser::operator()(nfq_handle* handle) const {
    nfq_close(handle);
}

void NfQueue::QueueCloser::operator()(nfq_q_handle* queue) const {
    nfq_destroy_queue(queue);
}

std::unique_ptr<NfQueue> NfQueue::Open(uint16_t queue, std::string* error) {
    auto self = std::make_unique<NfQueue>(Key());
    self->handle_.reset(nfq_open());
    if (!self->handle_) {
        *error = std::string("nfq_open: ") + strerror(errno);
        return nullptr;
    }
    self->queue_.reset(
        nfq_create_queue(self->handle_.get(), queue, &NfQueue::OnPacket, self.get()));
    if (!self->queue_) {
        *error = "cannot bind queue " + std::to_string(queue) + ": " + strerror(errno);
        return nullptr;
    }
    if (nfq_set_mode(self->queue_.get(), NFQNL_COPY_META, 0) < 0 ||
        nfq_set_queue_maxlen(self->queue_.get(), kKernelQueueLength) < 0) {
        *error = std::string("cannot configure the queue: ") + strerror(errno);
        return nullptr;
    }
    // A larger socket buffer rides out bursts that arrive while verdicts are being sent.
    nfnl_rcvbufsiz(nfq_nfnlh(self->handle_.get()), 4 * 1024 * 1024);
    return self;
}

NfQueue::~NfQueue() = default;

int NfQueue::fd() const {
    return nfq_fd(handle_.get());
}

bool NfQueue::ReadPackets(const std::function<void(uint32_t id)>& on_packet) {
    // Each message holds one packet's metadata (a few hundred bytes); 64 KiB reads many at once.
    std::array<char, 65536> buffer;
    on_packet_ = &on_packet;
    bool ok = true;
    for (int reads = 0; reads < 256; ++reads) {
        ssize_t n = recv(fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == ENOBUFS) {
                ++overruns_;
                continue;
            }
            ok = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            break;
        }
        nfq_handle_packet(handle_.get(), buffer.data(), static_cast<int>(n));
    }
    on_packet_ = nullptr;
    return ok;
}

bool NfQueue::Verdict(uint32_t id, bool accept) {
    return nfq_set_verdict(queue_.get(), id, accept ? NF_ACCEPT : NF_DROP, 0, nullptr) >= 0;
}

int NfQueue::OnPacket(nfq_q_handle*, nfgenmsg*, nfq_data* data, void* self) {
    auto* queue = static_cast<NfQueue*>(self);
    nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
    if (header != nullptr && queue->on_packet_ != nullptr) {
        (*queue->on_packet_)(ntohl(header->packet_id));
    }
    return 0;
}

}  // namespace kf
