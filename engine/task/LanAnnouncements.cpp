#include "engine/task/LanAnnouncements.h"

#include <algorithm>

#include "engine/net/Ipv4Address.h"

namespace kf {
namespace {

bool SameSlash24(uint32_t a, uint32_t b) {
    return (ToHostOrder(a) >> 8) == (ToHostOrder(b) >> 8);
}

// A sender on this machine (multicast pinned to loopback) may name any address of the machine.
bool MayAnnounce(uint32_t announced, uint32_t sender) {
    return (ToHostOrder(sender) >> 24) == 127 || SameSlash24(announced, sender);
}

}  // namespace

std::optional<LanDatagram> LanAnnouncements::Receive(std::span<const uint8_t> bytes,
                                                     uint32_t from_ip, const LanSelf& self,
                                                     int64_t now, bool take_mine) {
    const std::optional<LanDatagram> datagram = LanDatagram::Decode(bytes);
    if (!datagram || !IsValidAddress(datagram->ip) || datagram->port < 1 ||
        (datagram->ip == self.listen_ip && datagram->port == self.listen_port) ||
        !MayAnnounce(datagram->ip, from_ip)) {
        return std::nullopt;
    }
    if (take_mine && datagram->info_hash == self.info_hash) {
        return datagram;
    }
    Store(*datagram, now);
    return std::nullopt;
}

void LanAnnouncements::Store(const LanDatagram& datagram, int64_t now) {
    DropExpired(now);
    if (std::any_of(entries_.begin(), entries_.end(), [&datagram](const Entry& entry) {
            return entry.datagram.peer_id == datagram.peer_id;
        })) {
        return;
    }
    if (entries_.size() >= kMaxEntries) {
        entries_.erase(entries_.begin());
    }
    entries_.push_back(Entry{datagram, now, {}});
}

void LanAnnouncements::DropExpired(int64_t now) {
    std::erase_if(entries_,
                  [now](const Entry& entry) { return now - entry.received > kLifeSeconds; });
}

std::vector<LanDatagram> LanAnnouncements::Look(const LanSelf& self, int64_t now, size_t task_count,
                                                size_t limit) {
    DropExpired(now);
    std::vector<LanDatagram> found;
    for (auto it = entries_.begin(); it != entries_.end();) {
        std::vector<const void*>& lookers = it->lookers;
        if (std::find(lookers.begin(), lookers.end(), self.task) != lookers.end()) {
            ++it;
        } else if (it->datagram.info_hash == self.info_hash) {
            if (found.size() >= limit) {
                ++it;
                continue;
            }
            found.push_back(it->datagram);
            it = entries_.erase(it);
        } else if (lookers.size() >= task_count) {
            it = entries_.erase(it);
        } else {
            lookers.push_back(self.task);
            ++it;
        }
    }
    return found;
}

}  // namespace kf
