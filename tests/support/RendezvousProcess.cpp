#include "support/RendezvousProcess.h"

#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/net/QUdpSocket.h"
#include "engine/net/SocketWaitSet.h"
#include "engine/udp/UdpWire.h"

namespace kf::test {

bool StartRendezvous(ChildProcess& server, const std::string& address, int32_t port,
                     const std::string& log) {
    const uint32_t ip = ParseDottedAddress(address);
    if (!server.Start(
            {KF_BINARY_DIR "/kf-rendezvous", "--listen", address + ":" + std::to_string(port)},
            log)) {
        return false;
    }
    // Ready once it answers a registration of a stand-in engine.
    QUdpSocket probe;
    if (!probe.Open(ip, 0)) {
        return false;
    }
    const auto registration = UdpWire::BuildRegistration({});
    std::vector<uint8_t> answer(16);
    for (int i = 0; i < 100 && server.IsRunning(); ++i) {
        probe.SendTo(registration, ip, port);
        SocketWaitSet waits;
        waits.AddHandle(probe.Handle(), false);
        waits.Wait(50);
        uint32_t from_ip = 0;
        int32_t from_port = 0;
        if (probe.ReceiveFrom(answer, from_ip, from_port) == 8) {
            return true;
        }
    }
    return false;
}

}  // namespace kf::test
