#include "app/platform/ProductInfo.h"

#include <sys/stat.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/platform/EmbeddedFiles.h"
#include "app/platform/IniText.h"
#include "app/platform/TextChecks.h"

namespace kf::app {

namespace {

// Where the default product's files and resource list are published.
constexpr const char* kDefaultSourceFolder = "http://client.kestrelfetch.example/Client/42.51/";
constexpr const char* kDefaultResourceList =
    "https://client.kestrelfetch.example/downloader/GDResourceList20150906.xml";

constexpr size_t kMaxTorrentBytes = 16 << 20;
constexpr size_t kMaxSmallFileBytes = 1 << 20;
constexpr size_t kMaxGameVersionBytes = 64;

const char* const kProductKeys[] = {"resource_list_url", "telemetry_config", "ca_certificate",
                                    "game_version",      "rendezvous",       "dht_bootstrap"};
constexpr size_t kMaxRendezvousHostBytes = 127;
constexpr size_t kMaxDhtBootstrapEntries = 256;
const char* const kFileKeys[] = {"name", "size", "md5", "piece_length", "source_url", "torrent"};

bool Fail(std::string* error, const std::string& what) {
    if (error != nullptr) {
        *error = what;
    }
    return false;
}

// The file's bytes when it is a regular file of at most `cap` bytes.
std::optional<std::string> ReadFile(const std::string& path, size_t cap, std::string* error) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        Fail(error, path + ": not a readable file");
        return std::nullopt;
    }
    if (static_cast<uint64_t>(info.st_size) > cap) {
        Fail(error, path + ": larger than " + std::to_string(cap) + " bytes");
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<size_t>(info.st_size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        Fail(error, path + ": cannot be read");
        return std::nullopt;
    }
    return bytes;
}

std::string InFolder(const std::string& folder, const std::string& path) {
    return !path.empty() && path.front() == '/' ? path : folder + "/" + path;
}

template <typename Number>
bool ParsePositive(const std::string& text, Number* value) {
    const char* end = text.data() + text.size();
    const auto [stop, status] = std::from_chars(text.data(), end, *value);
    return status == std::errc() && stop == end && *value > 0;
}

// 32 hex digits, answered in lower case.
bool ParseMd5(std::string text, std::string* md5) {
    if (text.size() != 32) {
        return false;
    }
    for (char& c : text) {
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c + 32);
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    *md5 = text;
    return true;
}

bool IsKnownKey(const IniText::Entry& entry) {
    if (entry.section == "product") {
        for (const char* key : kProductKeys) {
            if (entry.key == key) {
                return true;
            }
        }
        return false;
    }
    if (entry.section == "file0" || entry.section == "file1" || entry.section == "file2") {
        for (const char* key : kFileKeys) {
            if (entry.key == key) {
                return true;
            }
        }
    }
    return false;
}

bool LoadFile(const IniText& ini, const std::string& folder, size_t index, ProductFile* file,
              std::string* error) {
    const std::string section = "file" + std::to_string(index);
    for (const char* key : kFileKeys) {
        if (std::string_view(key) != "torrent" && ini.Find(section, key) == nullptr) {
            return Fail(error, "[" + section + "] has no " + key);
        }
    }
    file->name = *ini.Find(section, "name");
    if (!IsPlainName(file->name)) {
        return Fail(error, "[" + section + "] name is not a plain file name");
    }
    if (!ParsePositive(*ini.Find(section, "size"), &file->size)) {
        return Fail(error, "[" + section + "] size is not a positive number");
    }
    if (!ParseMd5(*ini.Find(section, "md5"), &file->md5)) {
        return Fail(error, "[" + section + "] md5 is not 32 hex digits");
    }
    if (!ParsePositive(*ini.Find(section, "piece_length"), &file->piece_length)) {
        return Fail(error, "[" + section + "] piece_length is not a positive number");
    }
    file->source_url = *ini.Find(section, "source_url");
    if (!IsWebUrl(file->source_url, true)) {
        return Fail(error, "[" + section + "] source_url is not an http(s) address");
    }
    if (const std::string* torrent = ini.Find(section, "torrent")) {
        std::string why;
        const auto bytes = ReadFile(InFolder(folder, *torrent), kMaxTorrentBytes, &why);
        if (!bytes || bytes->empty()) {
            return Fail(error, "[" + section + "] torrent: " + (bytes ? "an empty file" : why));
        }
        file->torrent = *bytes;
    }
    return true;
}

}  // namespace

int64_t ProductInfo::RequiredBytes() const {
    int64_t total = kReserveBytes;
    for (const ProductFile& file : files) {
        total += file.size;
    }
    return total;
}

ProductInfo ProductInfo::Default() {
    ProductInfo product;
    product.files = {{
        {"Glimmerdeep_setup_0.122.42.51.exe", 115031392, "abb4e541009f7264b599687c4f32c4b5", 65536,
         "", ""},
        {"Glimmerdeep_data.7z.001", 1073741824, "498c541ba964b5911969c625ef23d1e8", 1048576, "",
         ""},
        {"Glimmerdeep_data.7z.002", 977896940, "5c081b551d73b041b862c2dbf6e0da53", 524288, "", ""},
    }};
    for (ProductFile& file : product.files) {
        file.source_url = kDefaultSourceFolder + file.name;
    }
    product.resource_list_url = kDefaultResourceList;
    product.telemetry_config = std::string(EmbeddedFiles::Find("dataupload.kfconf"));
    return product;
}

std::optional<ProductInfo> ProductInfo::LoadFolder(const std::string& folder, std::string* error) {
    std::string why;
    const std::string ini_path = folder + "/product.ini";
    const auto text = ReadFile(ini_path, IniText::kMaxBytes, &why);
    const auto ini = text ? IniText::Parse(*text, &why) : std::nullopt;
    if (!ini) {
        Fail(error, text ? ini_path + ": " + why : why);
        return std::nullopt;
    }
    const auto fail = [&](const std::string& what) {
        Fail(error, ini_path + ": " + what);
        return std::nullopt;
    };
    for (const IniText::Entry& entry : ini->Entries()) {
        if (!IsKnownKey(entry)) {
            return fail("line " + std::to_string(entry.line) + ": unknown key \"" + entry.key +
                        "\" in [" + entry.section + "]");
        }
    }

    ProductInfo product;
    std::set<std::string> names;
    for (size_t i = 0; i < product.files.size(); ++i) {
        if (!LoadFile(*ini, folder, i, &product.files[i], &why)) {
            return fail(why);
        }
        if (!names.insert(product.files[i].name).second) {
            return fail("two files are named \"" + product.files[i].name + "\"");
        }
    }

    const std::string* list_url = ini->Find("product", "resource_list_url");
    if (list_url == nullptr || !IsWebUrl(*list_url, true)) {
        return fail("[product] resource_list_url is missing or not an http(s) address");
    }
    product.resource_list_url = *list_url;

    const std::string* telemetry = ini->Find("product", "telemetry_config");
    if (telemetry == nullptr) {
        return fail("[product] has no telemetry_config");
    }
    const auto telemetry_bytes = ReadFile(InFolder(folder, *telemetry), kMaxSmallFileBytes, &why);
    if (!telemetry_bytes) {
        return fail("[product] telemetry_config: " + why);
    }
    product.telemetry_config = *telemetry_bytes;

    if (const std::string* ca = ini->Find("product", "ca_certificate")) {
        const std::string path = InFolder(folder, *ca);
        const auto pem = ReadFile(path, kMaxSmallFileBytes, &why);
        if (!pem || pem->find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
            return fail("[product] ca_certificate: " + (pem ? path + ": no PEM certificate" : why));
        }
        product.ca_certificate = std::filesystem::absolute(path).string();
    }

    if (const std::string* version = ini->Find("product", "game_version")) {
        if (version->empty() || version->size() > kMaxGameVersionBytes || !IsPlainName(*version)) {
            return fail("[product] game_version is empty, too long or holds control bytes");
        }
        product.game_version = *version;
    }

    if (const std::string* rendezvous = ini->Find("product", "rendezvous")) {
        const size_t colon = rendezvous->rfind(':');
        int32_t port = 0;
        if (colon == std::string::npos || colon == 0 || colon > kMaxRendezvousHostBytes ||
            !IsPlainHost(*rendezvous) || !ParsePositive(rendezvous->substr(colon + 1), &port) ||
            port > 65535) {
            return fail("[product] rendezvous is not host:port");
        }
        product.rendezvous_host = rendezvous->substr(0, colon);
        product.rendezvous_port = port;
    }

    if (const std::string* nodes = ini->Find("product", "dht_bootstrap")) {
        size_t entries = 0;
        for (size_t at = 0; at <= nodes->size(); ++entries) {
            const size_t comma = std::min(nodes->find(',', at), nodes->size());
            const std::string entry = nodes->substr(at, comma - at);
            const size_t colon = entry.rfind(':');
            int32_t port = 0;
            if (entries >= kMaxDhtBootstrapEntries || colon == std::string::npos || colon == 0 ||
                colon > kMaxRendezvousHostBytes || !IsPlainHost(entry) ||
                !ParsePositive(entry.substr(colon + 1), &port) || port > 65535) {
                return fail("[product] dht_bootstrap is not host:port[,host:port...]");
            }
            at = comma + 1;
        }
        product.dht_bootstrap = *nodes;
    }
    return product;
}

}  // namespace kf::app
