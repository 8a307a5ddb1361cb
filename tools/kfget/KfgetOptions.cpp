// kfget's command line.
#include "tools/kfget/KfgetOptions.h"

#include <getopt.h>

#include <cstdlib>
#include <cstring>

#include "engine/kestrelfetch.h"

namespace kfget {
namespace {

bool ParseNumber(const char* text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && *value >= 0;
}

bool ParseInteger(const char* text, int* value) {
    double number = 0;
    if (!ParseNumber(text, &number) || number > 2147483647.0) {
        return false;
    }
    *value = static_cast<int>(number);
    return true;
}

// "PORT[,PORT...]" appended to `ports`; every entry 1..65535.
bool ParsePortList(const char* text, std::vector<int32_t>* ports) {
    std::string rest = text;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        int port = 0;
        if (!ParseInteger(rest.substr(0, comma).c_str(), &port) || port < 1 || port > 65535) {
            return false;
        }
        ports->push_back(port);
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
    }
    return !ports->empty();
}

}  // namespace

void PrintHelp(FILE* out) {
    std::fprintf(
        out,
        "Usage: kfget [options]\n"
        "Downloads one file (or one torrent's files) from HTTP/FTP sources and a BitTorrent "
        "swarm.\n"
        "\n"
        "What to download:\n"
        "  --torrent FILE         metainfo of the content (a P2SP task: swarm plus the sources)\n"
        "  --source URL           a source address (http://, ftp://, tracker://, btnode://);\n"
        "                         repeatable\n"
        "  --mirror URL[,HOST]    a mirror address, optionally with the Host name to send; "
        "repeatable\n"
        "Where to put it:\n"
        "  -o, --out DIR          target folder (default: the current folder)\n"
        "  --file PATH            full path of the target file (instead of --out)\n"
        "  --resume PATH          resume file (default: <target>.kfinfo beside the target)\n"
        "  --recover              continue from the resume file of an earlier run\n"
        "  --quick-check          trust files of the right size instead of rechecking them\n"
        "How:\n"
        "  --limit KBPS           download limit in KB/s (0: none)\n"
        "  --connections N        at most N connections to HTTP/FTP sources\n"
        "  --peers N              at most N BitTorrent peer connections\n"
        "  --p2p / --no-p2p       allow or forbid BitTorrent peers (default: allowed)\n"
        "  --listen-port N        TCP port for incoming peers (default 8080)\n"
        "  --bind ADDR            local IPv4 address to listen on and to connect to peers and\n"
        "                         trackers from (default: every address)\n"
        "  --rendezvous HOST:PORT register the UDP endpoint with this rendezvous server\n"
        "                         (kf-rendezvous) and learn the external address (default: none)\n"
        "  --prefer-udp           reach BitTorrent peers over UDP tunnels first (through NAT\n"
        "                         routers, introduced by the rendezvous server); by default a\n"
        "                         tunnel is tried after TCP failed twice\n"
        "  --lan-interface ADDR   find peers of the same torrent on the local network (IPv4\n"
        "                         multicast 233.65.31.78:31576, TTL 1) through the interface\n"
        "                         with this IPv4 address (127.0.0.1: this machine only);\n"
        "                         without it LAN discovery stays off\n"
        "  --no-lan               no LAN discovery, even with --lan-interface\n"
        "  --dht                  find and announce peers through the BitTorrent DHT, on the UDP\n"
        "                         endpoint's port (the listen port); off by default\n"
        "  --dht-bootstrap HOST:PORT[,HOST:PORT...]\n"
        "                         DHT nodes to join through (implies --dht; default: none, so\n"
        "                         only the node file of an earlier run and torrents' node://\n"
        "                         entries are known)\n"
        "  --wrap-handshake       hide outgoing BitTorrent handshakes behind an HTTP request\n"
        "  --proxy URL            http://, socks4://, socks4a:// or socks5:// proxy,\n"
        "                         optionally with user:password@\n"
        "  --ip-filter FILE       neither connect to nor accept the IPv4 ranges listed in FILE,\n"
        "                         one \"first-last level\" line each (a level below 127 blocks)\n"
        "  --timeout SECONDS      give up after this long\n"
        "  --seed                 keep serving peers after the download completed, until ^C\n"
        "                         or until the seeding time is over\n"
        "  --seed-hours N         seeding time in hours, counted from the completion (default\n"
        "                         12, at most 20480)\n"
        "  --md5 HEX, --sha1 HEX  check the finished file against this digest\n"
        "  -q, --quiet            no progress output\n"
        "  -v, --verbose          one line per notable event: tracker answers, servers and peers\n"
        "                         connected and dropped (and why), sources penalised or banned,\n"
        "                         pieces failing their check, proxy refusals, disk waits;\n"
        "                         -vv adds the engine's log lines\n"
        "  --log-dir DIR          write the engine's log channel files into DIR\n"
        "UPnP port mapping:\n"
        "  --upnp                 before downloading, ask the LAN's Internet gateway (UPnP IGD)\n"
        "                         to forward a TCP port to this machine, print the outcome\n"
        "                         (\"upnp: mapped TCP port N: external ADDR:N -> LAN-ADDR:N\"),\n"
        "                         and listen on that port unless --listen-port names one (then\n"
        "                         that port is mapped). The port is one of 40000-50000, the\n"
        "                         previous run's when free; the mapping is removed at exit.\n"
        "                         Without anything to download, kfget keeps the mapping until\n"
        "                         ^C or --timeout\n"
        "  --upnp-delay MS        how long to search for the gateway (default 2000, at most\n"
        "                         10000); without one, kfget goes on after MS + 1 s\n"
        "  --upnp-interface IF    search through this interface (name or IPv4 address)\n"
        "  --upnp-url URL         the gateway's root description (e.g.\n"
        "                         http://192.168.1.1:5000/rootDesc.xml): no search\n"
        "  --upnp-exclude PORT[,PORT...]  never choose these ports; repeatable\n"
        "  --upnp-state FILE      where the chosen port is kept for the next run (default:\n"
        "                         .kfget-upnp-port in the target folder)\n"
        "  -h, --help             this text\n"
        "  --version              the engine's version\n"
        "\n"
        "Exit status: 0 complete, 1 usage, 2 the task failed (or the file does not match its\n"
        "digest), 3 time-out, 130 interrupted.\n"
        "An interrupted download keeps its resume file; run the same command with --recover.\n");
}

int ParseOptions(int argc, char** argv, KfgetOptions* options) {
    enum {
        kTorrent = 256,
        kSource,
        kMirror,
        kFile,
        kResume,
        kLimit,
        kConnections,
        kPeers,
        kP2p,
        kNoP2p,
        kListenPort,
        kBind,
        kLanInterface,
        kNoLan,
        kPreferUdp,
        kWrapHandshake,
        kQuickCheck,
        kRecover,
        kProxy,
        kIpFilter,
        kTimeout,
        kSeed,
        kSeedHours,
        kVersion,
        kTorrentUrl,
        kMd5,
        kSha1,
        kLogDir,
        kRendezvous,
        kDht,
        kDhtBootstrap,
        kUpnp,
        kUpnpDelay,
        kUpnpInterface,
        kUpnpUrl,
        kUpnpExclude,
        kUpnpState
    };
    static const option kLong[] = {
        {"torrent", required_argument, nullptr, kTorrent},
        {"source", required_argument, nullptr, kSource},
        {"mirror", required_argument, nullptr, kMirror},
        {"out", required_argument, nullptr, 'o'},
        {"file", required_argument, nullptr, kFile},
        {"resume", required_argument, nullptr, kResume},
        {"limit", required_argument, nullptr, kLimit},
        {"connections", required_argument, nullptr, kConnections},
        {"peers", required_argument, nullptr, kPeers},
        {"p2p", no_argument, nullptr, kP2p},
        {"no-p2p", no_argument, nullptr, kNoP2p},
        {"listen-port", required_argument, nullptr, kListenPort},
        {"bind", required_argument, nullptr, kBind},
        {"rendezvous", required_argument, nullptr, kRendezvous},
        {"lan-interface", required_argument, nullptr, kLanInterface},
        {"no-lan", no_argument, nullptr, kNoLan},
        {"prefer-udp", no_argument, nullptr, kPreferUdp},
        {"dht", no_argument, nullptr, kDht},
        {"dht-bootstrap", required_argument, nullptr, kDhtBootstrap},
        {"wrap-handshake", no_argument, nullptr, kWrapHandshake},
        {"quick-check", no_argument, nullptr, kQuickCheck},
        {"recover", no_argument, nullptr, kRecover},
        {"proxy", required_argument, nullptr, kProxy},
        {"ip-filter", required_argument, nullptr, kIpFilter},
        {"timeout", required_argument, nullptr, kTimeout},
        {"seed", no_argument, nullptr, kSeed},
        {"seed-hours", required_argument, nullptr, kSeedHours},
        {"quiet", no_argument, nullptr, 'q'},
        {"verbose", no_argument, nullptr, 'v'},
        {"log-dir", required_argument, nullptr, kLogDir},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {"torrent-url", required_argument, nullptr, kTorrentUrl},
        {"md5", required_argument, nullptr, kMd5},
        {"sha1", required_argument, nullptr, kSha1},
        {"upnp", no_argument, nullptr, kUpnp},
        {"upnp-delay", required_argument, nullptr, kUpnpDelay},
        {"upnp-interface", required_argument, nullptr, kUpnpInterface},
        {"upnp-url", required_argument, nullptr, kUpnpUrl},
        {"upnp-exclude", required_argument, nullptr, kUpnpExclude},
        {"upnp-state", required_argument, nullptr, kUpnpState},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "o:qvh", kLong, nullptr)) != -1) {
        bool ok = true;
        switch (option) {
            case kTorrent:
                options->torrent = optarg;
                break;
            case kSource:
                options->sources.emplace_back(optarg);
                break;
            case kMirror: {
                const std::string value = optarg;
                const size_t comma = value.find(',');
                options->mirror_urls.push_back(value.substr(0, comma));
                options->mirror_hosts.push_back(
                    comma == std::string::npos ? "null" : value.substr(comma + 1));
                break;
            }
            case 'o':
                options->out_dir = optarg;
                break;
            case kFile:
                options->file_path = optarg;
                break;
            case kResume:
                options->resume_path = optarg;
                break;
            case kLimit:
                ok = ParseInteger(optarg, &options->limit_kib);
                break;
            case kConnections:
                ok = ParseInteger(optarg, &options->connections);
                break;
            case kPeers:
                ok = ParseInteger(optarg, &options->peers);
                break;
            case kP2p:
                options->p2p = true;
                break;
            case kNoP2p:
                options->p2p = false;
                break;
            case kListenPort:
                ok = ParseInteger(optarg, &options->listen_port) && options->listen_port <= 65535;
                break;
            case kBind:
                options->bind_address = optarg;
                break;
            case kRendezvous: {
                const std::string value = optarg;
                const size_t colon = value.rfind(':');
                ok = colon != std::string::npos && colon > 0 &&
                     ParseInteger(value.c_str() + colon + 1, &options->rendezvous_port) &&
                     options->rendezvous_port >= 1 && options->rendezvous_port <= 65535;
                options->rendezvous_host = ok ? value.substr(0, colon) : std::string();
                break;
            }
            case kLanInterface:
                options->lan_interface = optarg;
                break;
            case kPreferUdp:
                options->prefer_udp = true;
                break;
            case kDht:
                options->dht = true;
                break;
            case kDhtBootstrap:
                options->dht = true;
                options->dht_bootstrap = optarg;
                break;
            case kNoLan:
                options->lan = false;
                break;
            case kWrapHandshake:
                options->wrap_handshake = true;
                break;
            case kQuickCheck:
                options->quick_check = true;
                break;
            case kRecover:
                options->recover = true;
                break;
            case kProxy:
                options->proxy = optarg;
                break;
            case kIpFilter:
                options->ip_filter = optarg;
                break;
            case kTimeout:
                ok = ParseNumber(optarg, &options->timeout_seconds);
                break;
            case kSeed:
                options->seed = true;
                break;
            case kSeedHours:
                ok = ParseInteger(optarg, &options->seed_hours) && options->seed_hours <= 20480;
                break;
            case 'q':
                options->quiet = true;
                break;
            case 'v':
                ++options->verbosity;
                break;
            case kLogDir:
                options->log_dir = optarg;
                break;
            case 'h':
                PrintHelp(stdout);
                return -1;
            case kTorrentUrl:
                options->torrent_url = optarg;
                break;
            case kMd5:
                options->md5 = optarg;
                break;
            case kSha1:
                options->sha1 = optarg;
                break;
            case kUpnp:
                options->upnp = true;
                break;
            case kUpnpDelay:
                ok = ParseInteger(optarg, &options->upnp_delay_ms) &&
                     options->upnp_delay_ms <= 10000;
                break;
            case kUpnpInterface:
                options->upnp_interface = optarg;
                break;
            case kUpnpUrl:
                options->upnp_url = optarg;
                break;
            case kUpnpExclude:
                ok = ParsePortList(optarg, &options->upnp_excluded);
                break;
            case kUpnpState:
                options->upnp_state = optarg;
                break;
            case kVersion:
                std::printf("kfget (Kestrelfetch engine %s)\n", GetEngineVersion());
                return -1;
            default:
                return kUsage;
        }
        if (!ok) {
            std::fprintf(stderr, "kfget: invalid value for an option: %s\n", optarg);
            return kUsage;
        }
    }
    for (int i = optind; i < argc; ++i) {
        options->sources.emplace_back(argv[i]);  // plain addresses: sources of one file
    }
    if (options->torrent.empty() && options->torrent_url.empty() && options->sources.empty() &&
        !options->upnp) {
        std::fprintf(stderr, "kfget: nothing to download: give URLs, --torrent or --torrent-url\n");
        return kUsage;
    }
    if (!options->torrent.empty() && !options->torrent_url.empty()) {
        std::fprintf(stderr, "kfget: --torrent and --torrent-url exclude each other\n");
        return kUsage;
    }
    for (const std::string* digest : {&options->md5, &options->sha1}) {
        const size_t want = digest == &options->md5 ? 32 : 40;
        if (!digest->empty() &&
            (digest->size() != want ||
             digest->find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)) {
            std::fprintf(stderr, "kfget: a digest must be %zu hexadecimal digits: %s\n", want,
                         digest->c_str());
            return kUsage;
        }
    }
    if (!options->out_dir.empty() && !options->file_path.empty()) {
        std::fprintf(stderr, "kfget: --out and --file exclude each other\n");
        return kUsage;
    }
    return kComplete;
}

}  // namespace kfget
