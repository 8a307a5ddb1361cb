#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kf::app {

struct ProductInfo;

// The resource list the maker's server publishes: the P2P switch, the expiry notice and the
// mirrors of each file. The XML is untrusted: the body is capped (kMaxBody), text that goes into
// a source line must be a plain host (letters, digits, '.', '-', ':' port; no CR/LF, no spaces,
// no '@'), paths must be plain ('/'-separated names without "..", no '?', '#', '%', CR/LF; the
// middle dir begins with '/', so that it cannot extend the host), the expiry address must be an
// http(s) address (it is opened on the desktop), and at most kMaxMirrorsPerFile mirrors are taken
// for one file; anything else is skipped and counted in `skipped`. Element depth is bounded by
// the XML reader. Plain data; Parse and MirrorsFor may run on any thread.
struct ResourceList {
    static constexpr size_t kMaxBody = 1 << 20;
    static constexpr size_t kMaxMirrorsPerFile = 64;

    struct Expiry {
        bool expired = false;
        std::string message;
        std::string url;
    };
    struct Cdn {
        std::string id, name, middle_dir, file_name;
        std::string host_name = "null";  // the mirrors' HTTP Host; "null" when absent
        bool open = false;
        std::vector<std::string> ips;
    };
    struct Resource {
        std::string id, task;
        std::vector<Cdn> cdns;
    };

    bool p2p_on = false;
    Expiry expiry;
    std::vector<Resource> resources;
    size_t skipped = 0;  // cdns, ips and an expiry address left out as unsafe

    // The design's walk (each level stops at the first sibling of another name). None when the
    // root is not "project", the "p2p-switch" is missing, or the body is not XML or too large;
    // `error` says which.
    static std::optional<ResourceList> Parse(std::string_view xml, std::string* error);

    // The mirrors for each file: "http://" + ip + middle_dir + file_name with its Host name, from
    // the open CDNs of the resources whose "task" equals the file's default source. A resource
    // for file i is skipped when i != `verify_index` and file i is `complete` (the list names the
    // files in their order, so this is the n-th matching resource; going by the file stays right,
    // and in bounds, for a list in another order or with two resources for one file).
    struct Mirror {
        std::string url;
        std::string host;
    };
    std::array<std::vector<Mirror>, 3> MirrorsFor(const ProductInfo& product, int verify_index,
                                                  const std::array<bool, 3>& complete) const;
};

}  // namespace kf::app
