#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace kf::app {

// One of the three files the downloader brings.
struct ProductFile {
    std::string name;          // file name, also the metainfo's "info" name
    int64_t size = 0;          // bytes; weights the overall progress and sums to the space need
    std::string md5;           // 32 lower-case hex digits; also the released metainfo's file name
    int32_t piece_length = 0;  // of its metainfo
    std::string source_url;    // the default HTTP source
    std::string torrent;       // the metainfo's bytes; empty when the product has none (HTTP only)
};

// What the downloader fetches and from where: the three files, the resource-list address, the
// certificate authority its HTTPS fetch trusts besides the system's, the telemetry configuration
// it writes out, and the rendezvous server its engine registers with. The compiled-in default is
// the game client; a product folder
// (`--product DIR`, format in app/README.md) replaces it for tests and the demo.
//
// Plain data; copies are cheap enough to hand one to each owner.
struct ProductInfo {
    static constexpr int64_t kReserveBytes = 104857600;  // 100 MiB kept free beyond the files

    std::array<ProductFile, 3> files;
    std::string resource_list_url;  // https:// (http:// only in a product folder)
    std::string ca_certificate;     // PEM path; empty: the system's authorities only
    std::string telemetry_config;   // the bytes written out as "dataupload.kfconf"
    std::string game_version = "v122.42.51";
    // The UDP endpoint's rendezvous server; empty: none (the engine then does not register).
    std::string rendezvous_host;
    int32_t rendezvous_port = 0;
    // DHT nodes to join through ("host:port,..."); empty: none, and the DHT stays off.
    std::string dht_bootstrap;

    // The downloader's identifier: file 0's MD5.
    const std::string& Id() const { return files[0].md5; }
    // The sizes plus kReserveBytes (2271527756 for the default product).
    int64_t RequiredBytes() const;
    // What the window shows as the total: RequiredBytes() − kReserveBytes.
    int64_t TotalBytes() const { return RequiredBytes() - kReserveBytes; }

    static ProductInfo Default();
    // Reads a product folder; none with `error` saying what is wrong (a missing key, a file that
    // cannot be read, an MD5 that is not 32 hex digits, a size that is not positive, a URL that
    // is not http(s)).
    static std::optional<ProductInfo> LoadFolder(const std::string& folder, std::string* error);
};

}  // namespace kf::app
