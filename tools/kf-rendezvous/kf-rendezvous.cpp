// kf-rendezvous: the rendezvous server that engines register with (kfget --rendezvous). It tells
// each engine its external address and introduces engines to each other for UDP hole punching.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/ParseNumber.h"
#include "engine/net/Ipv4Address.h"
#include "engine/net/QUdpSocket.h"
#include "engine/net/SocketWaitSet.h"
#include "engine/os/Tick.h"
#include "engine/udp/UdpWire.h"
#include "tools/kf-rendezvous/RendezvousServer.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

constexpr size_t kBurst = 64;
constexpr int32_t kWaitMs = 1000;  // bounds how long a stop signal may go unnoticed
constexpr uint64_t kExpireEveryMs = 60000;

void PrintHelp(FILE* out) {
    fputs(
        "Usage: kf-rendezvous --listen ADDR:PORT\n"
        "\n"
        "The rendezvous server of the engine's UDP endpoint. Engines started with\n"
        "kfget --rendezvous ADDR:PORT register here and learn their external address; two engines\n"
        "behind routers are introduced to each other.\n"
        "\n"
        "  --listen ADDR:PORT  the IPv4 address and UDP port to serve on (port 0: the system\n"
        "                      chooses; the chosen one is printed)\n"
        "  --help              this text\n"
        "\n"
        "Registrations expire 660 s after they were last heard; each source address may send 20\n"
        "requests a second. Stops on SIGINT or SIGTERM.\n",
        out);
}

// "a.b.c.d:port": false unless both parts are valid.
bool ParseListen(std::string_view text, uint32_t* ip, int32_t* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string address(text.substr(0, colon));
    const std::string digits(text.substr(colon + 1));
    *ip = kf::IsDigitsAndDots(address) ? kf::ParseDottedAddress(address) : kf::kNoAddress;
    if (!kf::IsValidAddress(*ip) || digits.empty() ||
        digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 5) {
        return false;
    }
    *port = kf::ParseInt32Text(digits.c_str());
    return *port >= 0 && *port <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t ip = 0;
    int32_t port = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp(stdout);
            return 0;
        }
        if (arg == "--listen" && i + 1 < argc && ParseListen(argv[i + 1], &ip, &port)) {
            ++i;
            continue;
        }
        fprintf(stderr, "kf-rendezvous: bad argument '%s'\n", argv[i]);
        PrintHelp(stderr);
        return 1;
    }
    if (port < 0) {
        fputs("kf-rendezvous: --listen ADDR:PORT is required\n", stderr);
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    kf::QUdpSocket socket;
    if (!socket.Open(ip, port)) {
        fprintf(stderr, "kf-rendezvous: cannot listen on %s:%d: %s\n", kf::DottedText(ip).c_str(),
                port, strerror(errno));
        return 2;
    }
    port = socket.LocalPort();
    printf("kf-rendezvous listening on %s:%d\n", kf::DottedText(ip).c_str(), port);
    fflush(stdout);

    kf::RendezvousServer server;
    std::vector<uint8_t> buffer(kf::UdpWire::kMaxDatagram + 1);
    std::vector<kf::RendezvousServer::Outgoing> out;
    uint64_t last_expiry_ms = kf::TickMilliseconds();
    kf::SocketWaitSet waits;
    while (g_stop == 0) {
        if (!socket.IsOpen() && !socket.Open(ip, port)) {
            fprintf(stderr, "kf-rendezvous: the socket failed and cannot be reopened\n");
            return 2;
        }
        waits.Clear();
        waits.AddHandle(socket.Handle(), false);
        waits.Wait(kWaitMs);
        const uint64_t now_ms = kf::TickMilliseconds();
        for (size_t i = 0; i < kBurst; ++i) {
            uint32_t from_ip = 0;
            int32_t from_port = 0;
            const int32_t length = socket.ReceiveFrom(buffer, from_ip, from_port);
            if (length <= 0) {
                break;
            }
            if (static_cast<size_t>(length) > kf::UdpWire::kMaxDatagram) {
                continue;
            }
            out.clear();
            server.Handle(std::span(buffer).first(static_cast<size_t>(length)), from_ip, from_port,
                          now_ms, out);
            for (const kf::RendezvousServer::Outgoing& datagram : out) {
                // A refused destination only loses its own datagram.
                socket.SendTo(datagram.bytes, datagram.ip, datagram.port);
            }
        }
        if (now_ms - last_expiry_ms >= kExpireEveryMs) {
            server.Expire(now_ms);
            last_expiry_ms = now_ms;
        }
    }
    return 0;
}
