#include "engine/content/TTorrent.h"

#include <openssl/sha.h>

#include "engine/content/Bencode.h"
#include "engine/content/InfoReader.h"
#include "engine/content/SeedDescriptor.h"
#include "engine/content/TaskLink.h"
#include "engine/os/FileBytes.h"

namespace kf {

namespace {

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i];
        char b = prefix[i];
        if (a >= 'A' && a <= 'Z') {
            a = static_cast<char>(a - 'A' + 'a');
        }
        if (b >= 'A' && b <= 'Z') {
            b = static_cast<char>(b - 'A' + 'a');
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithIgnoringCase(a, b);
}

const QMultiElement* AsContainer(const QElement* element) {
    if (element == nullptr || !element->IsValid()) {
        return nullptr;
    }
    const ElementKind kind = element->Kind();
    if (kind != ElementKind::kDictionary && kind != ElementKind::kList) {
        return nullptr;
    }
    return static_cast<const QMultiElement*>(element);
}

// The raw bytes of a string element; containers have none.
std::string_view StringBytes(const QElement* element) {
    if (element == nullptr || element->Kind() != ElementKind::kString) {
        return {};
    }
    return element->Bytes();
}

// Top-level keys are matched ignoring case, but only at key positions: a value that happens to
// spell a key name (a comment "info", say) is never taken for that key.
const QElement* ValueOf(const QMultiElement& dict, std::string_view key) {
    const QElement* found = dict.FindKeyIgnoreCase(key);
    if (found == nullptr || found->HasInteger()) {
        return nullptr;
    }
    return dict.NextSibling(found);
}

std::string_view TrimControlAndBlank(std::string_view text) {
    auto is_trimmed = [](char c) {
        const auto byte = static_cast<uint8_t>(c);
        return byte >= 1 && byte <= 32;
    };
    while (!text.empty() && is_trimmed(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_trimmed(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string CleanAndTrim(std::string_view raw) {
    return std::string(TrimControlAndBlank(TTorrent::CleanTrackerUrl(raw)));
}

int32_t CodePageForEncoding(std::string_view name) {
    if (EqualsIgnoringCase(name, "GBK")) {
        return 936;
    }
    if (EqualsIgnoringCase(name, "BIG5")) {
        return 950;
    }
    if (EqualsIgnoringCase(name, "KOR")) {
        return 949;
    }
    if (EqualsIgnoringCase(name, "Shift-JIS")) {
        return 932;
    }
    return 0;
}

}  // namespace

TTorrent::TTorrent(TaskLink* task, InfoReader* info_reader)
    : info_reader_(info_reader), task_(task) {}

TTorrent::~TTorrent() = default;

std::string TTorrent::CleanTrackerUrl(std::string_view raw) {
    const size_t start = raw.find_first_of("hHuU");
    if (start == std::string_view::npos) {
        return {};
    }
    std::string_view url = raw.substr(start);
    while (!url.empty() && url.back() == '|') {
        url.remove_suffix(1);
    }
    return std::string(url);
}

bool TTorrent::Load() {
    if (source_text_.find("$End$") != std::string::npos) {
        // Seed descriptor: its values become this torrent's and the piece map lays out its one
        // file without digests. The layout's answer is passed on, so a descriptor the map cannot
        // use stops the task instead of leaving it without a piece map.
        SetTaskState(TaskState::kBuildingMap);
        ClearFields();
        const std::optional<SeedDescriptor> descriptor = SeedDescriptor::Parse(source_text_);
        if (!descriptor) {
            return false;
        }
        info_hash_ = descriptor->info_hash;
        info_hash_hex_ = descriptor->info_hash_hex;
        info_hash_escaped_ = descriptor->info_hash_escaped;
        announce_ = descriptor->tracker;
        trackers_.push_back(announce_);
        const bool laid_out =
            info_reader_ == nullptr ||
            info_reader_->LayOutWithoutDigests(descriptor->size, descriptor->piece_length);
        SetTaskState(TaskState::kRunning);
        return laid_out;
    }
    if (metainfo_bytes_.empty()) {
        return LoadFromAddress();
    }
    return ParseMetainfo(
        {reinterpret_cast<const uint8_t*>(metainfo_bytes_.data()), metainfo_bytes_.size()});
}

bool TTorrent::LoadFromAddress() {
    const std::string_view address = source_text_;
    if (StartsWithIgnoringCase(address, "http://Kademlia/")) {
        return false;
    }
    constexpr std::string_view kFileScheme = "file://";
    if (!StartsWithIgnoringCase(address, kFileScheme)) {
        return false;
    }
    const std::optional<std::string> bytes =
        ReadFileBytes(std::string(address.substr(kFileScheme.size())), kMaxMetainfoFileBytes);
    if (!bytes) {
        if (task_ != nullptr) {
            task_->SetTaskStatus(kStatusMetainfoUnreadable);
            task_->RequestStop();
        }
        return false;
    }
    return ParseMetainfo({reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()});
}

bool TTorrent::ParseMetainfo(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return false;
    }
    SetTaskState(TaskState::kBuildingMap);
    ClearFields();
    if (bytes[0] != 'd' && bytes[0] != 'D') {
        return false;
    }
    const std::unique_ptr<QElement> root = ParseValue(bytes);
    // The tree points into `bytes` (the info-hash is taken over them) and goes before they do.
    if (root == nullptr || !ReadRoot(*root)) {
        ClearFields();
        return false;
    }
    SetTaskState(TaskState::kRunning);
    return true;
}

bool TTorrent::ReadRoot(QElement& root) {
    if (root.Kind() != ElementKind::kDictionary) {
        return false;
    }
    const auto& dict = static_cast<const QMultiElement&>(root);
    ChooseCodePage(dict);
    if (code_page_ != 0) {
        root.SetCodePage(code_page_);
    }

    if (const QElement* key = dict.FindKeyIgnoreCase("announce"); key != nullptr) {
        announce_ = CleanAndTrim(StringBytes(ValueOf(dict, "announce")));
        trackers_.push_back(announce_);
    }
    if (const QMultiElement* list = AsContainer(ValueOf(dict, "announce-list"))) {
        WalkAnnounceList(*list);
    }
    auto text_of = [](const QElement* value) {
        return value != nullptr ? value->ConvertedText() : std::string();
    };
    comment_ = text_of(ValueOf(dict, "comment"));
    publisher_ = text_of(ValueOf(dict, "publisher"));
    publisher_url_ = text_of(ValueOf(dict, "publisher-url"));
    if (const QElement* key = dict.FindKeyIgnoreCase("creation date"); key != nullptr) {
        creation_date_ = key->Integer();
    }

    const QElement* info = ValueOf(dict, "info");
    if (info != nullptr &&
        (info->Kind() != ElementKind::kDictionary || info->InputBytes().empty())) {
        info = nullptr;
    }
    if (info != nullptr) {
        SetInfoHash(info->InputBytes());
        const auto& info_dict = static_cast<const QMultiElement&>(*info);
        if (publisher_.empty()) {
            publisher_ = text_of(ValueOf(info_dict, "publisher"));
        }
        if (publisher_url_.empty()) {
            publisher_url_ = text_of(ValueOf(info_dict, "publisher-url"));
        }
    }
    if (info_reader_ != nullptr) {
        return info_reader_->ParseInfo(info);
    }
    return info != nullptr;
}

void TTorrent::ChooseCodePage(const QMultiElement& dict) {
    if (code_page_ != 0) {
        return;
    }
    if (const QElement* key = dict.FindKeyIgnoreCase("codepage"); key != nullptr) {
        code_page_ = static_cast<int32_t>(key->Integer());
        return;
    }
    if (dict.FindKeyIgnoreCase("encoding") != nullptr) {
        code_page_ = CodePageForEncoding(StringBytes(ValueOf(dict, "encoding")));
    }
}

void TTorrent::WalkAnnounceList(const QMultiElement& container) {
    const int32_t count = container.Count();
    for (int32_t i = 0; i < count; ++i) {
        const QElement* child = container.ChildAt(i);
        if (const QMultiElement* nested = AsContainer(child)) {
            WalkAnnounceList(*nested);
            continue;
        }
        const std::string_view bytes = StringBytes(child);
        if (bytes == "Tracker") {
            continue;
        }
        if (bytes == "Name") {
            return;
        }
        if (!bytes.empty()) {
            trackers_.push_back(CleanAndTrim(bytes));
        }
    }
}

void TTorrent::SetInfoHash(std::span<const uint8_t> info_bytes) {
    SHA1(info_bytes.data(), info_bytes.size(), info_hash_.data());
    static constexpr char kHex[] = "0123456789abcdef";
    info_hash_hex_.clear();
    info_hash_escaped_.clear();
    for (const uint8_t byte : info_hash_) {
        const char high = kHex[byte >> 4];
        const char low = kHex[byte & 0x0f];
        info_hash_hex_ += high;
        info_hash_hex_ += low;
        const bool alphanumeric = (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
                                  (byte >= 'A' && byte <= 'Z');
        if (alphanumeric) {
            info_hash_escaped_ += static_cast<char>(byte);
        } else {
            info_hash_escaped_ += '%';
            info_hash_escaped_ += high;
            info_hash_escaped_ += low;
        }
    }
}

void TTorrent::ClearFields() {
    announce_.clear();
    publisher_.clear();
    publisher_url_.clear();
    comment_.clear();
    creation_date_ = 0;
    info_hash_.fill(0);
    info_hash_escaped_.clear();
    info_hash_hex_.clear();
    trackers_.clear();
}

void TTorrent::SetTaskState(TaskState state) {
    if (task_ != nullptr) {
        task_->SetTaskState(state);
    }
}

}  // namespace kf
