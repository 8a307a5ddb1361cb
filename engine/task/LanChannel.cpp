#include "engine/task/LanChannel.h"

#include <algorithm>
#include <array>
#include <string>

#include "engine/base/EngineLog.h"
#include "engine/net/Ipv4Address.h"

namespace kf {
namespace {

std::string InterfaceText(uint32_t interface_ip) {
    return interface_ip == 0 ? std::string("the default interface") : DottedText(interface_ip);
}

}  // namespace

void LanChannel::Keep(bool wanted, uint32_t interface_ip) {
    if (!wanted) {
        socket_.Close();
        return;
    }
    if (socket_.IsOpen() && socket_.InterfaceIp() == interface_ip) {
        return;
    }
    const uint32_t group = ToNetworkOrder(LanDatagram::kGroupHostOrder);
    if (socket_.Open(group, LanDatagram::kPort, interface_ip)) {
        failure_logged_ = false;
        EngineLogWrite(
            "LAN discovery joined " + DottedText(group) + " on " + InterfaceText(interface_ip),
            LogChannel::kApplication);
        return;
    }
    if (!failure_logged_ || failed_interface_ != interface_ip) {
        failure_logged_ = true;
        failed_interface_ = interface_ip;
        EngineLogWrite(
            "LAN discovery cannot join " + DottedText(group) + " on " + InterfaceText(interface_ip),
            LogChannel::kApplication);
    }
}

bool LanChannel::Send(const LanSelf& self, const LanDatagram::Hash20& peer_id, bool reply) {
    LanDatagram datagram;
    datagram.ip = self.listen_ip;
    datagram.port = self.listen_port;
    datagram.reply = reply;
    datagram.info_hash = self.info_hash;
    datagram.peer_id = peer_id;
    const LanDatagram::Bytes bytes = datagram.Encode();
    if (socket_.Send(bytes)) {
        return true;
    }
    socket_.Close();
    return false;
}

void LanChannel::ReadWaiting(const LanSelf& self, bool& query_sent, int64_t now,
                             std::vector<LanDatagram>& found) {
    // One byte more than a datagram, so that a longer one is still told apart (and ignored
    // beyond its first 56 bytes).
    std::array<uint8_t, LanDatagram::kLength + 1> buffer{};
    for (int32_t i = 0; i < kReadsPerStep; ++i) {
        uint32_t from_ip = 0;
        int32_t from_port = 0;
        const int32_t length = socket_.Receive(buffer, from_ip, from_port);
        if (length < 0) {
            query_sent = false;
            return;
        }
        if (length == 0) {
            return;
        }
        const std::optional<LanDatagram> mine =
            announcements_.Receive(std::span(buffer.data(), static_cast<size_t>(length)), from_ip,
                                   self, now, found.size() < kPeersPerStep);
        if (!mine) {
            continue;
        }
        // A query comes twice: one peer, still asking.
        const auto same = std::find_if(found.begin(), found.end(), [&mine](const auto& peer) {
            return peer.peer_id == mine->peer_id;
        });
        if (same == found.end()) {
            found.push_back(*mine);
        } else {
            same->reply = same->reply && mine->reply;
        }
    }
}

std::vector<LanDatagram> LanChannel::Step(const LanSelf& self, const LanDatagram::Hash20& peer_id,
                                          bool& query_sent, int64_t now, size_t task_count) {
    std::vector<LanDatagram> found;
    if (!socket_.IsOpen()) {
        return found;
    }
    if (!query_sent) {
        query_sent = Send(self, peer_id, false) && Send(self, peer_id, false);
    } else {
        ReadWaiting(self, query_sent, now, found);
    }
    std::vector<LanDatagram> listed =
        announcements_.Look(self, now, task_count, kPeersPerStep - found.size());
    found.insert(found.end(), listed.begin(), listed.end());
    const bool asked = std::any_of(found.begin(), found.end(),
                                   [](const LanDatagram& datagram) { return !datagram.reply; });
    if (asked && socket_.IsOpen()) {
        Send(self, peer_id, true);
    }
    return found;
}

}  // namespace kf
