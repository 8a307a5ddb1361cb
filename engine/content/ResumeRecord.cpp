#include "engine/content/ResumeRecord.h"

#include <cstring>
#include <memory>

#include "engine/base/Adler32.h"
#include "engine/content/Bencode.h"

namespace kf {
namespace {

std::string_view AsText(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool HasText(const QElement* e, std::string_view text) {
    return e != nullptr && e->Kind() == ElementKind::kString && e->Bytes() == text;
}

bool BitSet(const std::vector<uint8_t>& bits, int64_t i) {
    return (bits[static_cast<size_t>(i / 8)] & (0x80 >> (i % 8))) != 0;
}

}  // namespace

uint32_t ResumeRecord::StatusChecksum(int64_t index, std::span<const uint8_t> status) {
    return Adler32(static_cast<uint32_t>(index),
                   status.first(std::min<size_t>(status.size(), 104)));
}

std::string ResumeRecord::Encode() const {
    QDictionaryElement root;
    if (info_hash) {
        root.AppendText("infohash", 0, false);
        root.AppendText(AsText(*info_hash), 0, false);
    }
    for (const FileState& file : files) {
        if (file.path.empty()) {
            break;
        }
        root.AppendText(file.path, 0, false);
        root.AppendText("Low", file.time_low, false);
        root.AppendText("High", file.time_high, false);
        root.AppendText("Size", file.size, false);
        root.AppendText("Priority", file.priority, false);
    }
    root.AppendText("PieceStatus", 0, false);
    auto list = std::make_unique<QListElement>();
    for (const PieceState& piece : pieces) {
        auto entry = std::make_unique<QDictionaryElement>();
        entry->AppendText("Index", piece.index, false);
        entry->AppendText("Part", piece.part, false);
        entry->AppendText("Status", 0, false);
        entry->AppendText(AsText(piece.status), 0, false);
        entry->AppendText("CRC32", StatusChecksum(piece.index, piece.status), false);
        list->Append(std::move(entry));
    }
    root.Append(std::move(list));
    root.AppendText("BitField", 0, false);
    if (bitfield.empty()) {
        // An empty string is written as "0:"; AppendText refuses nothing here.
        root.AppendText(std::string_view(), 0, false);
    } else {
        root.AppendText(AsText(bitfield), 0, false);
    }
    std::string out;
    if (!EncodeTo(&root, out)) {
        out.clear();
    }
    return out;
}

std::optional<ResumeRecord::Decoded> ResumeRecord::Decode(std::span<const uint8_t> bytes,
                                                          const Sha1Digest* current_hash,
                                                          std::span<const FileQuery> files,
                                                          int64_t piece_count) {
    std::unique_ptr<QElement> root = ParseValue(bytes);
    if (root == nullptr || root->Kind() != ElementKind::kDictionary || piece_count <= 0) {
        return std::nullopt;
    }
    if (const QElement* key = root->FindText("infohash")) {
        const QElement* value = root->NextSibling(key);
        if (value != nullptr && value->Kind() == ElementKind::kString && value->Length() == 20) {
            if (current_hash == nullptr ||
                std::memcmp(value->Bytes().data(), current_hash->data(), 20) != 0) {
                return std::nullopt;
            }
        }
    }
    Decoded out;
    for (const FileQuery& query : files) {
        const QElement* key = query.path.empty() ? nullptr : root->FindText(query.path);
        if (key == nullptr && !query.final_path.empty()) {
            key = root->FindText(query.final_path);
        }
        if (key == nullptr) {
            return std::nullopt;
        }
        const QElement* low = root->NextSibling(key);
        const QElement* high = low != nullptr ? root->NextSibling(low) : nullptr;
        const QElement* size = high != nullptr ? root->NextSibling(high) : nullptr;
        if (!HasText(low, "Low") || !HasText(high, "High") || !HasText(size, "Size")) {
            return std::nullopt;
        }
        FileFound found;
        found.time_low = static_cast<uint32_t>(low->Integer());
        found.time_high = static_cast<uint32_t>(high->Integer());
        found.size = size->Integer();
        const QElement* priority = root->NextSibling(size);
        if (HasText(priority, "Priority") && priority->Integer() >= -2 &&
            priority->Integer() <= 2) {
            found.priority = static_cast<int32_t>(priority->Integer());
        }
        out.files.push_back(found);
    }
    const QElement* bits_key = root->FindText("BitField");
    const QElement* bits = bits_key != nullptr ? root->NextSibling(bits_key) : nullptr;
    if (bits == nullptr || bits->Kind() != ElementKind::kString ||
        bits->Length() != (piece_count + 7) / 8) {
        return std::nullopt;
    }
    out.bitfield.assign(bits->Bytes().begin(), bits->Bytes().end());
    const QElement* status_key = root->FindText("PieceStatus");
    const QElement* list = status_key != nullptr ? root->NextSibling(status_key) : nullptr;
    if (list != nullptr && list->Kind() == ElementKind::kList) {
        for (int32_t i = 0; i < list->Count(); ++i) {
            const QElement* entry = list->ChildAt(i);
            if (entry == nullptr || entry->Kind() != ElementKind::kDictionary) {
                continue;
            }
            const QElement* index = entry->ChildAt(0);
            const QElement* part = entry->ChildAt(1);
            const QElement* status_name = entry->ChildAt(2);
            const QElement* status = entry->ChildAt(3);
            const QElement* crc = entry->FindText("CRC32");
            if (!HasText(index, "Index") || index->Integer() < 0 ||
                index->Integer() >= piece_count || BitSet(out.bitfield, index->Integer()) ||
                !HasText(part, "Part") || part->Integer() <= 0 || !HasText(status_name, "Status") ||
                status == nullptr || status->Kind() != ElementKind::kString ||
                status->Length() < 104 || crc == nullptr) {
                continue;
            }
            const auto state = std::span<const uint8_t>(
                reinterpret_cast<const uint8_t*>(status->Bytes().data()), 104);
            if (crc->Integer() != static_cast<int64_t>(StatusChecksum(index->Integer(), state))) {
                continue;
            }
            PieceState piece;
            piece.index = index->Integer();
            piece.part = part->Integer();
            std::memcpy(piece.status.data(), state.data(), 104);
            out.pieces.push_back(piece);
        }
    }
    return out;
}

}  // namespace kf
