#include "engine/content/ResumeFile.h"

#include <memory>
#include <utility>

#include "engine/content/Bencode.h"
#include "engine/os/AtomicFile.h"

namespace kf {
namespace {

// Parts of 2 bytes or less ("de", "le", "0:") carry nothing.
std::string TakePart(const QElement* root, std::string_view key) {
    const QElement* value = root->FindValue(key);
    if (value == nullptr || value->Kind() != ElementKind::kString || value->Length() <= 2) {
        return {};
    }
    return std::string(value->Bytes());
}

}  // namespace

ResumeFile::ResumeFile(os::FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}

void ResumeFile::Set(std::string& field, std::string bytes) {
    if (field != bytes) {
        field = std::move(bytes);
        dirty_ = true;
    }
}

bool ResumeFile::Load() {
    bits_.clear();
    part_.clear();
    seeds_.clear();
    torrent_.clear();
    dirty_ = false;
    std::string bytes;
    if (!fs_.ReadAll(path_, kMaxSize, &bytes)) {
        return false;
    }
    std::unique_ptr<QElement> root = ParseValue(bytes);
    if (root == nullptr || root->Kind() != ElementKind::kDictionary) {
        return false;
    }
    bits_ = TakePart(root.get(), "bits");
    part_ = TakePart(root.get(), "part");
    seeds_ = TakePart(root.get(), "seeds");
    torrent_ = TakePart(root.get(), "torrent");
    return true;
}

std::string ResumeFile::Encode() const {
    QDictionaryElement root;
    const std::pair<std::string_view, const std::string*> parts[] = {
        {"bits", &bits_}, {"part", &part_}, {"seeds", &seeds_}, {"torrent", &torrent_}};
    for (const auto& [key, value] : parts) {
        if (!value->empty()) {
            root.AppendText(key, 0, false);
            root.AppendText(*value, 0, false);
        }
    }
    std::string out;
    EncodeTo(&root, out);
    return out;
}

bool ResumeFile::Save() {
    if (!dirty_) {
        return true;
    }
    const std::string bytes = Encode();
    os::AtomicFile file(fs_, path_);
    if (!file.Open() ||
        !file.Append({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}) ||
        !file.Commit()) {
        return false;
    }
    dirty_ = false;
    return true;
}

bool ResumeFile::Remove() {
    bits_.clear();
    part_.clear();
    seeds_.clear();
    torrent_.clear();
    dirty_ = false;
    fs_.Remove(os::AtomicFile::TemporaryPath(path_));
    return fs_.Remove(path_) || !fs_.Exists(path_);
}

}  // namespace kf
