#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/OpenTracker.h"

namespace kf::test {

// A scripted BitTorrent peer that misbehaves in one chosen way, listening on a 127/8 address. It
// answers a plain handshake, claims every piece, unchokes and then, depending on its behaviour:
//   kOversizedLength    sends a message header announcing ~4 GiB, then a few bytes
//   kWrongBitfieldSize  sends a bitfield a few bytes too long, then serves correctly
//   kUnrequestedBlocks  sends garbage blocks nobody asked for (also out of range) before each
//                       requested block, which is served correctly
//   kWrongData          answers every request with wrong bytes (the piece fails its hash)
//   kWrongInfoHash      answers the handshake with another info-hash
//   kOwnPeerId          answers the handshake with the connecting peer's own id
//   kStall              never answers a request
// Each connection is served on its own thread, bounded in time; the counters tell a test whether
// the engine met it at all.
class HostilePeer {
  public:
    enum class Behaviour {
        kOversizedLength,
        kWrongBitfieldSize,
        kUnrequestedBlocks,
        kWrongData,
        kWrongInfoHash,
        kOwnPeerId,
        kStall,
    };

    // `content` is the torrent's single file; `piece_length` its piece length.
    HostilePeer(Behaviour behaviour, const std::string& info_hash_hex, std::string content,
                int64_t piece_length);
    ~HostilePeer();
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    // Listens on a free port of `address`.
    bool Start(const std::string& address);
    void Stop();

    TrackerPeer Endpoint() const { return {address_, port_}; }
    // A fixed id, for announcing it to a tracker.
    static std::string PeerId() { return "-KH0001-hostilepeer1"; }

    int Accepted() const { return accepted_.load(); }
    int Handshakes() const { return handshakes_.load(); }
    int Requests() const { return requests_.load(); }
    int BlocksSent() const { return blocks_sent_.load(); }
    // Block bytes of the piece messages sent.
    int64_t BlockBytesSent() const { return block_bytes_sent_.load(); }

  private:
    void AcceptLoop();
    void Serve(int fd);
    bool Answer(int fd, uint8_t id, const std::string& payload);
    std::string Bitfield() const;
    std::string Block(uint32_t index, uint32_t begin, uint32_t length, bool wrong) const;

    const Behaviour behaviour_;
    const std::string info_hash_;
    const std::string content_;
    const int64_t piece_length_;
    std::string address_;
    int32_t port_ = 0;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> handshakes_{0};
    std::atomic<int> requests_{0};
    std::atomic<int> blocks_sent_{0};
    std::atomic<int64_t> block_bytes_sent_{0};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> connections_;
};

}  // namespace kf::test
