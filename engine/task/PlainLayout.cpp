#include "engine/task/PlainLayout.h"

#include "engine/content/Bencode.h"
#include "engine/content/QDictionaryElement.h"

namespace kf {
namespace {

constexpr char kRecordKey[] = "plain";
constexpr int32_t kSmallestPiece = 16 * 1024;
constexpr int32_t kLargestPiece = 1024 * 1024;
constexpr int64_t kPiecesWanted = 256;

}  // namespace

int32_t PlainLayout::PieceLengthFor(int64_t size) {
    int32_t length = kSmallestPiece;
    while (length < kLargestPiece && (size + length - 1) / length > kPiecesWanted) {
        length *= 2;
    }
    return length;
}

std::string PlainLayout::SafeFileName(std::string_view name) {
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos) {
        name.remove_prefix(slash + 1);
    }
    std::string safe;
    for (const char c : name) {
        // Control bytes and NUL have no place in a file name.
        if (static_cast<unsigned char>(c) >= 32) {
            safe.push_back(c);
        }
    }
    if (safe.empty() || safe == "." || safe == "..") {
        return "download.bin";
    }
    return safe;
}

std::string PlainLayout::Encode() const {
    QDictionaryElement outer;
    QDictionaryElement* inner = nullptr;
    if (outer.AppendText(kRecordKey, 0, false) != nullptr) {
        auto dictionary = std::make_unique<QDictionaryElement>();
        inner = dictionary.get();
        outer.Append(std::move(dictionary));
    }
    if (inner == nullptr) {
        return {};
    }
    inner->AppendText("length", size, true);
    inner->AppendText("piece length", piece_length, true);
    inner->AppendText("path", 0, false);
    inner->AppendText(path, 0, false);
    std::string bytes;
    return EncodeTo(&outer, bytes) ? bytes : std::string();
}

std::optional<PlainLayout> PlainLayout::Decode(std::string_view bytes) {
    const std::unique_ptr<QElement> root = ParseValue(bytes);
    if (!root || root->Kind() != ElementKind::kDictionary) {
        return std::nullopt;
    }
    const QElement* inner = root->FindValue(kRecordKey);
    if (inner == nullptr || inner->Kind() != ElementKind::kDictionary) {
        return std::nullopt;
    }
    const QElement* length = inner->FindValue("length");
    const QElement* piece_length = inner->FindValue("piece length");
    const QElement* path = inner->FindValue("path");
    if (length == nullptr || piece_length == nullptr || path == nullptr || !length->HasInteger() ||
        !piece_length->HasInteger()) {
        return std::nullopt;
    }
    PlainLayout layout;
    layout.size = length->Integer();
    layout.piece_length = static_cast<int32_t>(piece_length->Integer());
    layout.path = std::string(path->Bytes());
    if (layout.size <= 0 || layout.piece_length < kSmallestPiece ||
        layout.piece_length > kLargestPiece || layout.piece_length % kSmallestPiece != 0 ||
        layout.path.empty()) {
        return std::nullopt;
    }
    return layout;
}

}  // namespace kf
