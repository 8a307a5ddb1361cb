// Throughput and connect time of tunnelled streams, one side per process:
//   tunnel_bench serve --rendezvous HOST:PORT [--port N] [--bind ADDR] [--seconds S]
//   tunnel_bench send  --rendezvous HOST:PORT [--port N] --to IP:PORT [--bind ADDR]
//                      [--connections K] [--bytes M] [--send-past-window] [--seconds S]
// Both register with the rendezvous server on UDP port N (7001 serving, 7002 sending). The sender
// opens K tunnels to the server side (known by its public address and port, as a tracker would list
// it), sends M bytes spread over them, each stream preceded by its 8-byte length, and waits for
// each stream's one-byte receipt. It prints one JSON line: connect times, the transfer time and its
// rate.
// --send-past-window lets the sender fill its window past the receiver's, as the original rule did.
#include <getopt.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/net/Ipv4Address.h"
#include "engine/net/QProxyConfig.h"
#include "engine/net/QSocket.h"
#include "engine/net/SocketWaitSet.h"
#include "engine/os/Tick.h"
#include "engine/udp/QUInternalServer.h"
#include "engine/udp/TunnelSocketTransport.h"

namespace {

using namespace kf;

volatile sig_atomic_t g_stop = 0;

struct Options {
    bool serve = false;
    std::string server_host;
    int32_t server_port = 0;
    int32_t port = 0;
    uint32_t bind_ip = 0;
    uint32_t to_ip = 0;
    int32_t to_port = 0;
    int32_t connections = 1;
    int64_t bytes = 8 << 20;
    bool send_past_window = false;
    int32_t seconds = 0;  // 0: serve until told to stop, send for at most 600 s
};

bool SplitHostPort(const char* text, std::string& host, int32_t& port) {
    const char* colon = std::strrchr(text, ':');
    if (colon == nullptr) {
        return false;
    }
    host.assign(text, colon);
    port = std::atoi(colon + 1);
    return !host.empty() && port >= 1 && port <= 65535;
}

bool Parse(int argc, char** argv, Options& o) {
    if (argc < 2) {
        return false;
    }
    o.serve = std::strcmp(argv[1], "serve") == 0;
    if (!o.serve && std::strcmp(argv[1], "send") != 0) {
        return false;
    }
    static const option longs[] = {{"rendezvous", required_argument, nullptr, 'r'},
                                   {"port", required_argument, nullptr, 'p'},
                                   {"bind", required_argument, nullptr, 'b'},
                                   {"to", required_argument, nullptr, 't'},
                                   {"connections", required_argument, nullptr, 'c'},
                                   {"bytes", required_argument, nullptr, 'n'},
                                   {"send-past-window", no_argument, nullptr, 'd'},
                                   {"seconds", required_argument, nullptr, 's'},
                                   {nullptr, 0, nullptr, 0}};
    optind = 2;
    for (int c; (c = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
        std::string host;
        switch (c) {
            case 'r':
                if (!SplitHostPort(optarg, o.server_host, o.server_port)) {
                    return false;
                }
                break;
            case 'p':
                o.port = std::atoi(optarg);
                break;
            case 'b':
                o.bind_ip = ParseDottedAddress(optarg);
                break;
            case 't':
                if (!SplitHostPort(optarg, host, o.to_port)) {
                    return false;
                }
                o.to_ip = ParseDottedAddress(host);
                break;
            case 'c':
                o.connections = std::clamp(std::atoi(optarg), 1, 64);
                break;
            case 'n':
                o.bytes = std::max<int64_t>(std::atoll(optarg), 1);
                break;
            case 'd':
                o.send_past_window = true;
                break;
            case 's':
                o.seconds = std::max(std::atoi(optarg), 1);
                break;
            default:
                return false;
        }
    }
    if (o.port == 0) {
        o.port = o.serve ? 7001 : 7002;
    }
    return !o.server_host.empty() && IsValidPort(o.port) && (o.serve || IsValidAddress(o.to_ip));
}

bool TimeLeft(uint64_t deadline_ms) {
    return g_stop == 0 && TickMilliseconds() < deadline_ms;
}

// Serves every stream: reads its length, then that many bytes, then answers one byte.
int Serve(const Options& o, const UdpWire::NodeId& node, uint64_t deadline_ms) {
    QSocket listener;
    if (!listener.Listen(o.port, o.bind_ip, &node)) {
        std::fprintf(stderr, "tunnel_bench: cannot listen on tunnel port %d\n", o.port);
        return 1;
    }
    struct Stream {
        std::unique_ptr<QSocket> socket;
        int64_t expected = -1;
        int64_t received = 0;
    };
    std::vector<Stream> streams;
    SocketWaitSet waits;
    while (TimeLeft(deadline_ms)) {
        while (std::unique_ptr<QSocket> accepted = listener.Accept()) {
            streams.push_back(Stream{std::move(accepted)});
        }
        for (Stream& s : streams) {
            if (!s.socket->IsOpen()) {
                continue;
            }
            for (int32_t round = 0; round < 64; ++round) {
                const int32_t have = s.socket->ReceiveBytes(0);
                if (have <= 0) {
                    if (have < 0) {
                        s.socket->Close();
                    }
                    break;
                }
                if (s.expected < 0 && have >= 8) {
                    uint64_t length = 0;
                    std::memcpy(&length, s.socket->Received().data(), 8);
                    s.expected = static_cast<int64_t>(length);
                    s.socket->Consume(8, true);
                }
                if (s.expected >= 0) {
                    s.received += s.socket->ReceivedLength();
                    s.socket->Consume(-1, true);
                    if (s.received >= s.expected) {
                        const uint8_t receipt = 1;
                        s.socket->SendBytes(&receipt, 1);
                        s.expected = -2;  // answered; keep the stream until the sender closes
                    }
                }
            }
        }
        std::erase_if(streams, [](const Stream& s) { return !s.socket->IsOpen(); });
        waits.Clear();
        waits.Add(listener, false);
        for (const Stream& s : streams) {
            waits.Add(*s.socket, s.socket->QueuedLength() > 0);
        }
        waits.Wait(200);
        for (Stream& s : streams) {
            if (s.socket->QueuedLength() > 0) {
                s.socket->FlushQueue();
            }
        }
    }
    return 0;
}

int Send(const Options& o, uint64_t deadline_ms) {
    // Known by address only, as a tracker lists a peer: the server resolves the id.
    QSocket::NodeId peer{};
    const uint32_t ip = o.to_ip;
    std::memcpy(peer.data() + 2, &ip, 4);
    peer[6] = static_cast<uint8_t>(o.to_port >> 8);
    peer[7] = static_cast<uint8_t>(o.to_port);
    const QProxyConfig direct;
    const int32_t k = o.connections;
    std::vector<std::unique_ptr<QSocket>> sockets;
    std::vector<int64_t> connect_ms(static_cast<size_t>(k), -1);
    std::vector<int64_t> to_send(static_cast<size_t>(k), o.bytes / k);
    to_send.back() += o.bytes % k;
    const uint64_t connect_start = TickMilliseconds();
    for (int32_t i = 0; i < k; ++i) {
        sockets.push_back(std::make_unique<QSocket>());
        if (!sockets.back()->ConnectTo(o.to_ip, o.to_port, false, &direct, 0, &peer)) {
            std::fprintf(stderr, "tunnel_bench: connect %d refused at once\n", i);
            return 1;
        }
    }
    std::vector<uint8_t> block(64 * 1024);
    std::mt19937 random(7);
    for (uint8_t& b : block) {
        b = static_cast<uint8_t>(random());
    }
    std::vector<int64_t> sent(static_cast<size_t>(k), -8);
    std::vector<bool> done(static_cast<size_t>(k), false);
    uint64_t transfer_start = 0;
    SocketWaitSet waits;
    int32_t finished = 0;
    while (finished < k && TimeLeft(deadline_ms)) {
        for (int32_t i = 0; i < k; ++i) {
            QSocket& s = *sockets[static_cast<size_t>(i)];
            const auto at = static_cast<size_t>(i);
            if (done[at] || !s.IsOpen()) {
                continue;
            }
            if (connect_ms[at] < 0) {
                if (!s.IsEstablished()) {
                    continue;
                }
                connect_ms[at] = static_cast<int64_t>(TickMilliseconds() - connect_start);
                transfer_start = transfer_start == 0 ? TickMilliseconds() : transfer_start;
            }
            if (sent[at] < 0) {
                const uint64_t length = static_cast<uint64_t>(to_send[at]);
                if (s.SendBytes(&length, 8) < 0) {
                    continue;
                }
                sent[at] = 0;
            }
            while (sent[at] < to_send[at] && s.QueuedLength() == 0) {
                const auto n = static_cast<int32_t>(
                    std::min<int64_t>(static_cast<int64_t>(block.size()), to_send[at] - sent[at]));
                if (s.SendBytes(block.data(), n) < 0) {
                    break;
                }
                sent[at] += n;
            }
            if (s.QueuedLength() > 0) {
                s.FlushQueue();
            }
            if (s.IsOpen() && s.ReceiveBytes(0) > 0) {
                done[at] = true;
                ++finished;
            }
        }
        waits.Clear();
        for (const auto& s : sockets) {
            waits.Add(*s, s->QueuedLength() > 0 || !s->Connected());
        }
        waits.Wait(50);
    }
    const uint64_t end = TickMilliseconds();
    std::vector<int64_t> times;
    for (const int64_t t : connect_ms) {
        if (t >= 0) {
            times.push_back(t);
        }
    }
    std::sort(times.begin(), times.end());
    const int64_t p95 = times.empty() ? -1 : times[(times.size() * 95 + 99) / 100 - 1];
    const double seconds =
        transfer_start == 0 ? 0.0 : static_cast<double>(end - transfer_start) / 1000.0;
    std::string list;
    for (const int64_t t : connect_ms) {
        list += (list.empty() ? "" : ",") + std::to_string(t);
    }
    std::printf(
        "{\"connections\": %d, \"completed\": %d, \"bytes\": %lld, \"send_past_window\": %s, "
        "\"connect_ms\": [%s], \"connect_p95_ms\": %lld, \"seconds\": %.3f, "
        "\"bytes_per_s\": %.0f}\n",
        k, finished, static_cast<long long>(o.bytes), o.send_past_window ? "true" : "false",
        list.c_str(), static_cast<long long>(p95), seconds,
        finished == k && seconds > 0 ? static_cast<double>(o.bytes) / seconds : 0.0);
    return finished == k ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: tunnel_bench serve|send --rendezvous HOST:PORT [--port N] "
                     "[--bind ADDR] [--to IP:PORT] [--connections K] [--bytes M] "
                     "[--send-past-window] [--seconds S]\n");
        return 2;
    }
    signal(SIGTERM, [](int) { g_stop = 1; });
    signal(SIGINT, [](int) { g_stop = 1; });
    TunnelSessions::Options tunnel_options;
    tunnel_options.send_past_receive_window = o.send_past_window;
    QUInternalServer endpoint(tunnel_options);
    SetTunnelTransport(std::make_shared<TunnelSocketTransport>(endpoint));
    QUInternalServer::Config config;
    config.local_port = o.port;
    config.bind_ip = o.bind_ip;
    std::random_device seed;
    for (uint8_t& b : config.node_id) {
        b = static_cast<uint8_t>(seed() | 1);
    }
    const int32_t seconds = o.seconds > 0 ? o.seconds : (o.serve ? 30 * 24 * 3600 : 600);
    const uint64_t deadline_ms = TickMilliseconds() + static_cast<uint64_t>(seconds) * 1000;
    if (endpoint.Start(config) != 0 || !endpoint.SetRendezvous(o.server_host, o.server_port)) {
        std::fprintf(stderr, "tunnel_bench: the endpoint did not start\n");
        return 1;
    }
    while (!IsValidAddress(endpoint.ExternalAddress()) && TimeLeft(deadline_ms)) {
        poll(nullptr, 0, 20);
    }
    if (!IsValidAddress(endpoint.ExternalAddress())) {
        std::fprintf(stderr, "tunnel_bench: no answer from the rendezvous server\n");
        return 1;
    }
    const int result = o.serve ? Serve(o, config.node_id, deadline_ms) : Send(o, deadline_ms);
    SetTunnelTransport(nullptr);
    endpoint.Stop();
    return result;
}
