#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/TRefObject.h"
#include "engine/peers/PeerKind.h"
#include "engine/peers/TPeerUrlInfo.h"

namespace kf {

// The address record of one remote party: a BitTorrent peer, an HTTP or FTP server holding the
// task's file, or a tracker. Producers (source lines, mirrors, redirects, tracker answers,
// incoming connections) create it with a count of 1, set `url` and parse it, or fill the numeric
// fields directly; the task's source list, each attached peer object and each range hold a
// reference. Used on one task thread only; records handed to another task are copied (Copy).
//
// Text syntax (ParseSourceAddress), schemes compared ignoring case:
//   ftp://[user[:password]@]host[:port][/path]        port 21, user "anonymous" by default
//   http://host[:port][/path[?query]]                 port 80
//   tracker://<http|tcp|udp>://host[:port][/path[?query]]   port 80
//   btnode://a.b.c.d[:port]                           no default port (the record stays invalid)
//
// Trust: the text comes from configuration, a server's redirect or a tracker. Parsing never reads
// out of bounds and refuses control bytes that would end up in a request line.
class TPeerId : public TRefObject {
  public:
    static constexpr int32_t kTransportUdp = 0;
    static constexpr int32_t kTransportTcp = 1;
    // Weights in the source list (higher is preferred).
    static constexpr int32_t kWeightTextSource = 29;
    static constexpr int32_t kWeightRedirectTarget = 28;
    static constexpr int32_t kWeightHttpExtraAddress = 29;
    static constexpr int32_t kWeightFtpExtraAddress = 28;
    static constexpr int32_t kWeightBtPeer = 19;
    static constexpr int32_t kRoleTorrentLine = 1;
    static constexpr const char* kAnonymousFtpPassword = "kestrelfetch@anonymous.invalid";

    using PeerIdBytes = std::array<uint8_t, 20>;

    TPeerId();
    explicit TPeerId(std::string url_text);
    ~TPeerId() override = default;

    // Weight 1, max_connections 1, ip all-ones, every other number and flag 0, peer_id cleared,
    // url parts deleted. `url` is cleared too.
    void Reset();
    // An independent record (count 1) with every field and the URL parts copied.
    RefPtr<TPeerId> Copy() const;

    // ParseSourceText, then ResolveSource. May block for a name lookup (see ResolveSource).
    bool ParseSourceAddress(bool proxy_resolves_names = false);
    // Parses `url` (see the syntax above) into kind, port and the URL parts, without a lookup:
    // true when the text was understood.
    bool ParseSourceText();
    // Resolves the host of a parsed record. A host name not yet known to be unresolvable is
    // looked up, which blocks the calling thread for up to the resolver's time-out (3 s). True
    // when the host resolved (a numeric host that is not a usable address still succeeds,
    // leaving the record invalid). On a name that cannot be resolved: false with `unresolvable`
    // set, and the task reports status 20216 - unless `proxy_resolves_names` and the record may
    // go to the proxy by name (NameMayGoToProxy): then the name is left to the proxy
    // (remote_name).
    bool ResolveSource(bool proxy_resolves_names);
    // The record connects by its host name through the proxy.
    bool ConnectsByName() const;
    // HTTP and FTP sources and HTTP trackers go over TCP, which a proxy carries by name; a UDP
    // tracker needs an address of its own.
    bool NameMayGoToProxy() const;

    // Port 1..65535 and an ip that is neither 0 nor all-ones (or a host name the proxy resolves).
    bool IsValid() const;
    bool IsServerSource() const { return kf::IsServerSource(kind); }
    // Identity used by the source list: BT peers by ip and port or else by peer id, trackers by
    // ip, port, transport (and host name, when left to the proxy), servers by url ignoring case.
    bool SameAs(const TPeerId& other) const;

    // One copy per further address of a resolved server source's host, with that address as ip,
    // an empty address list and the extra-address weight of its kind. Empty for other records.
    std::vector<RefPtr<TPeerId>> MakeFanOutRecords() const;

    // The URL parts, created on first use (never null).
    TPeerUrlInfo& UrlInfo();
    const TPeerUrlInfo& UrlInfo() const;
    bool HasUrlInfo() const { return url_info_ != nullptr; }

    // Peer ids for records made from an address alone: compact tracker entries and btnode
    // addresses (14 zero bytes, address, port big-endian), and dictionary tracker entries without
    // a peer id (12 zero bytes, address, port as a 32-bit little-endian number). `ip` is in
    // network order.
    static PeerIdBytes CompactPeerId(uint32_t ip, int32_t port);
    static PeerIdBytes DictionaryPeerId(uint32_t ip, int32_t port);
    // A peer id that carries "UDP" at bytes 16..18 gets the client tag 00 01 4B 66 in bytes 0..3;
    // any other id is left as it is. Applied by the task when it stores a copy of a record.
    static void ApplyUdpClientTag(PeerIdBytes& peer_id);

    PeerKind kind = PeerKind::None;
    bool resolved = false;      // the record holds a usable address (parsed or numeric)
    bool unresolvable = false;  // the host name could not be resolved
    int32_t port = 0;           // TCP port (UDP for a UDP tracker)
    int32_t penalty = 0;        // back-off counter of the source list
    int32_t weight = 1;
    int32_t role = 0;      // kRoleTorrentLine marks the task's torrent source line
    int32_t attempts = 0;  // connection attempts so far
    int32_t spare = 0;
    int32_t connections = 0;   // live peer objects attached to this record
    int32_t whole_pieces = 0;  // pieces whose data came entirely from this source
    int32_t reconnects = 0;    // peer objects ever attached
    int32_t max_connections = 1;
    PeerIdBytes peer_id{};
    std::string url;            // the address text, after escaping
    uint32_t ip = 0xFFFFFFFFu;  // network order; all-ones while unknown
    int64_t last_attach_time = 0;
    int32_t transport = kTransportUdp;  // trackers only
    // Trackers: an announce of this run went out to it, so it is told when the task stops.
    bool announced = false;
    // BtNode: a handshake sent behind the HTTP-shaped header went unanswered, so this peer
    // does not understand the wrapper; later connections send the plain handshake.
    bool wrapper_refused = false;

  private:
    bool ParseFtp(std::string_view rest);
    bool ParseHttp(std::string_view rest);
    bool ParseTracker(std::string_view rest);
    bool ParseBtNode(std::string_view rest);
    bool ResolveHost();
    void TakeFileName();

    mutable std::unique_ptr<TPeerUrlInfo> url_info_;
};

}  // namespace kf
