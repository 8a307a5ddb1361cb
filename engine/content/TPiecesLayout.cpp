// TPieces: construction, file layout from the info dictionary, the piece list, the selection list
// and the preparation of the files.

#include <algorithm>
#include <cctype>
#include <set>
#include <thread>

#include "engine/base/EngineClock.h"
#include "engine/content/Bencode.h"
#include "engine/content/TPieces.h"

namespace kf {
namespace {

constexpr int64_t kMaxTotalLength = int64_t{1} << 50;

// Value of a dictionary entry that is a string (not an integer carried by its key).
const QElement* StringValue(const QElement* dict, std::string_view key) {
    const QElement* v = dict->FindValue(key);
    if (v == nullptr || v->Kind() != ElementKind::kString || v->HasInteger()) {
        return nullptr;
    }
    return v;
}

// The key element of an integer entry, or null.
const QElement* IntegerEntry(const QElement* dict, std::string_view key) {
    const QElement* v = dict->FindValue(key);
    if (v == nullptr || !v->HasInteger() || v->Bytes() != key) {
        return nullptr;
    }
    return v;
}

// A single name taken from the metainfo must stay one name inside its folder.
bool IsSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The replacements of the original layout rules: '?', CR and LF become '_'.
void CleanPath(std::string& path) {
    for (char& c : path) {
        if (c == '?' || c == '\r' || c == '\n') {
            c = '_';
        }
    }
}

int64_t PieceSpan(int64_t offset, int64_t size, int64_t piece_length) {
    if (size <= 0) {
        return 0;
    }
    const int64_t r = offset % piece_length;
    const int64_t head = r > 0 ? piece_length - r : 0;
    if (size <= head) {
        return 1;
    }
    return (size - head + piece_length - 1) / piece_length + (r > 0 ? 1 : 0);
}

}  // namespace

TPieces::TPieces(TaskLink* task, PiecesParams params, RefPtr<TTorrent> torrent,
                 RefPtr<TPieces> previous)
    : task_(task),
      params_(std::move(params)),
      fs_(params_.file_system != nullptr ? *params_.file_system : os::FileSystem::Default()),
      torrent_(std::move(torrent)),
      previous_(std::move(previous)) {
    if (!torrent_) {
        torrent_ = RefPtr<TTorrent>::Make(task, this);
    } else {
        torrent_->SetInfoReader(this);
    }
    if (!params_.target_folder.empty() && params_.target_folder.back() != '/') {
        params_.target_folder.push_back('/');
    }
    if (!params_.now) {
        params_.now = NowSeconds;
    }
    if (!params_.sleep) {
        params_.sleep = [](int32_t ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        };
    }
    last_flush_ = Now();
    KeepFreeBlocks();
}

TPieces::~TPieces() {
    if (torrent_ && torrent_->info_reader() == this) {
        torrent_->SetInfoReader(nullptr);
    }
    for (FileEntry& entry : files_) {
        entry.file.Close();
    }
}

int64_t TPieces::Now() const {
    return params_.now();
}

void TPieces::TakeInfoHash() {
    info_hash_.reset();
    if (torrent_) {
        const TTorrent::InfoHash& hash = torrent_->info_hash();
        if (std::any_of(hash.begin(), hash.end(), [](uint8_t b) { return b != 0; })) {
            info_hash_ = hash;
        }
    }
}

bool TPieces::StopRequested() {
    return task_ != nullptr && task_->IsStopRequested();
}

void TPieces::Notice(int32_t type, int32_t value, int32_t kind, int64_t number,
                     std::span<const uint8_t> bytes) {
    if (task_ != nullptr) {
        task_->PieceNotice(type, value, kind, number, bytes);
    }
}

bool TPieces::ParseInfo(const QElement* info) {
    valid_ = false;
    TakeInfoHash();
    if (info == nullptr || info->Kind() != ElementKind::kDictionary) {
        return false;
    }
    const QElement* length_key = IntegerEntry(info, "piece length");
    if (length_key == nullptr || length_key->Integer() <= 0) {
        return false;
    }
    piece_length_ = static_cast<int32_t>(static_cast<uint32_t>(length_key->Integer()));
    const QElement* pieces = StringValue(info, "pieces");
    if (piece_length_ <= 0 || pieces == nullptr || pieces->Length() <= 19 ||
        pieces->Length() % 20 != 0) {
        return false;
    }
    digests_.assign(pieces->Bytes());
    has_digests_ = true;
    bool refused = false;
    if (!LayOutFiles(info, &refused) || refused) {
        files_.clear();
        return false;
    }
    if (!Build()) {
        return false;
    }
    previous_.reset();
    return true;
}

bool TPieces::LayOutFiles(const QElement* info, bool* refused) {
    files_.clear();
    total_length_ = 0;
    const QElement* name = StringValue(info, "name");
    name_ = name != nullptr ? name->ConvertedText() : std::string();
    const QElement* length = IntegerEntry(info, "length");
    if (length != nullptr) {
        if (length->Integer() <= 0 || length->Integer() > kMaxTotalLength) {
            return false;
        }
        if (name_.empty()) {
            name_ = "strRecommend";
        }
        if (params_.target_path.empty() && !IsSafeName(name_)) {
            *refused = true;
            return false;
        }
        FileEntry entry;
        entry.relative_path = name_;
        entry.path =
            params_.target_path.empty() ? params_.target_folder + name_ : params_.target_path;
        entry.size = length->Integer();
        files_.push_back(std::move(entry));
    } else {
        const QElement* list = info->FindValue("files");
        if (list == nullptr || list->Kind() != ElementKind::kList) {
            return false;
        }
        if (!name_.empty() && !IsSafeName(name_)) {
            *refused = true;
            return false;
        }
        std::string folder = params_.target_folder;
        if (!name_.empty()) {
            std::string_view base(folder);
            if (!base.empty() && base.back() == '/') {
                base.remove_suffix(1);
            }
            const size_t cut = base.find_last_of('/');
            const std::string_view last =
                cut == std::string_view::npos ? base : base.substr(cut + 1);
            if (!EqualIgnoringCase(last, name_)) {
                folder += name_ + "/";
            }
        }
        for (int32_t i = 0; i < list->Count(); ++i) {
            const QElement* item = list->ChildAt(i);
            if (item == nullptr || item->Kind() != ElementKind::kDictionary || item->Count() == 0) {
                break;
            }
            const QElement* size = IntegerEntry(item, "length");
            const QElement* path = item->FindValue("path");
            if (size == nullptr || path == nullptr || size->Integer() < 0 ||
                path->Kind() != ElementKind::kList || path->Count() < 1) {
                break;
            }
            std::string relative;
            bool folder_entry = false;
            for (int32_t k = 0; k < path->Count(); ++k) {
                const QElement* part = path->ChildAt(k);
                if (part == nullptr || part->Kind() != ElementKind::kString) {
                    *refused = true;
                    return false;
                }
                const std::string text = part->ConvertedText();
                const bool last = k + 1 == path->Count();
                // An empty last element marks a folder entry; anywhere else, and any element that
                // is not one plain name, could point outside the target folder.
                if (text.empty() && last) {
                    folder_entry = true;
                    break;
                }
                if (!IsSafeName(text)) {
                    *refused = true;
                    return false;
                }
                if (k > 0) {
                    relative += '/';
                }
                relative += text;
            }
            if (folder_entry || relative.empty()) {
                if (size->Integer() != 0) {
                    break;
                }
                std::string made = folder + relative;
                CleanPath(made);
                fs_.CreateFolders(made);
                continue;
            }
            if (total_length_ + size->Integer() > kMaxTotalLength) {
                return false;
            }
            FileEntry entry;
            entry.relative_path = relative;
            entry.path = folder + relative;
            entry.size = size->Integer();
            entry.offset = total_length_;
            total_length_ += entry.size;
            files_.push_back(std::move(entry));
        }
    }
    // Two entries sharing a name (or one entry's temporary name being another's final name) would
    // write into the same file.
    std::set<std::string> seen;
    for (size_t i = 0; i < files_.size(); ++i) {
        FileEntry& entry = files_[i];
        entry.index = FileIndex(static_cast<int64_t>(i));
        CleanPath(entry.path);
        entry.first_piece = entry.offset / piece_length_;
        entry.piece_span = PieceSpan(entry.offset, entry.size, piece_length_);
        ApplyTemporaryName(entry);
        if (entry.path.size() > kMaxPath) {
            *refused = true;
            return false;
        }
        if (previous_ && i < previous_->files_.size()) {
            const FileEntry& old = previous_->files_[i];
            if (!old.path.empty() && fs_.Exists(old.path)) {
                entry.path = old.path;
                entry.final_path = old.final_path;
                entry.temp_marked = old.temp_marked;
            }
        }
        for (const std::string* p : {&entry.path, &entry.final_path}) {
            if (!p->empty() && !seen.insert(*p).second) {
                *refused = true;
                return false;
            }
        }
    }
    if (length != nullptr) {
        total_length_ = files_.front().size;
    }
    return !files_.empty();
}

void TPieces::ApplyTemporaryName(FileEntry& entry) {
    const std::string& suffix = params_.temp_suffix;
    if (suffix.empty() || entry.temp_marked || entry.path.empty() || fs_.Exists(entry.path)) {
        return;
    }
    if (params_.always_temp_name || fs_.Exists(entry.path + suffix)) {
        entry.temp_marked = true;
        entry.final_path = entry.path;
        entry.path += suffix;
    }
}

bool TPieces::LayOutWithoutDigests(int64_t size, int32_t piece_length) {
    // What the seed descriptor asks of the map: a larger cache, full preallocation, resume on.
    params_.cache_units = 128;
    KeepFreeBlocks();
    params_.preallocate = true;
    params_.use_resume = true;
    last_flush_ = Now();
    return LayOutSingleFile(size, piece_length, std::string());
}

bool TPieces::LayOutSingleFile(int64_t size, int32_t piece_length, const std::string& path) {
    valid_ = false;
    TakeInfoHash();
    has_digests_ = false;
    digests_.clear();
    files_.clear();
    piece_length_ = piece_length;
    total_length_ = size;
    if (size <= 0 || piece_length <= 0 || size > kMaxTotalLength) {
        return false;
    }
    FileEntry entry;
    if (!path.empty()) {
        entry.path = path;
    } else if (!params_.target_path.empty()) {
        entry.path = params_.target_path;
    } else {
        entry.path = params_.target_folder + "001.kfinfo";
    }
    const size_t cut = entry.path.find_last_of('/');
    entry.relative_path = cut == std::string::npos ? entry.path : entry.path.substr(cut + 1);
    entry.size = size;
    entry.first_piece = 0;
    entry.piece_span = PieceSpan(0, size, piece_length);
    ApplyTemporaryName(entry);
    files_.push_back(std::move(entry));
    if (!Build()) {
        return false;
    }
    previous_.reset();
    return true;
}

bool TPieces::Build() {
    valid_ = false;
    check_done_ = false;
    slots_.clear();
    active_.clear();
    is_active_.clear();
    cached_bytes_ = held_bytes_ = 0;
    if (total_length_ <= 0 || piece_length_ <= 0 || files_.empty()) {
        return false;
    }
    const int64_t count = has_digests_ ? static_cast<int64_t>(digests_.size() / 20)
                                       : (total_length_ + piece_length_ - 1) / piece_length_;
    if (count <= 0) {
        return false;
    }
    const int64_t slack = count * piece_length_ - total_length_;
    if (slack < 0 || slack > piece_length_ - 1) {
        return false;
    }
    slots_.reserve(static_cast<size_t>(count));
    int64_t left = total_length_;
    for (int64_t i = 0; i < count; ++i) {
        const int32_t size = static_cast<int32_t>(std::min<int64_t>(piece_length_, left));
        const uint8_t* digest =
            has_digests_ ? reinterpret_cast<const uint8_t*>(digests_.data()) + 20 * i : nullptr;
        slots_.emplace_back(PieceIndex(i), size, digest);
        left -= size;
    }
    have_.assign(static_cast<size_t>((count + 7) / 8), 0);
    is_active_.assign(static_cast<size_t>(count), false);
    checked_bytes_ = verified_bytes_ = verified_pieces_ = 0;
    valid_ = true;
    Notice(100, 1, 4, count);
    ApplySelection();
    const bool checked = StartCheck();
    PrepareFiles();
    if (!checked || StopRequested()) {
        return false;
    }
    return true;
}

std::string TPieces::SelectionList() const {
    QListElement list;
    for (const FileEntry& entry : files_) {
        list.AppendText(entry.relative_path, entry.skipped() ? 1 : 0, false);
        list.Append(std::make_unique<QDictionaryElement>());
    }
    std::string out;
    EncodeTo(&list, out);
    return out;
}

void TPieces::ApplySelection() {
    std::set<std::string> skipped;
    if (!params_.selection_bytes.empty()) {
        std::unique_ptr<QElement> root = ParseValue(params_.selection_bytes);
        if (root != nullptr && root->Kind() == ElementKind::kList) {
            for (int32_t i = 0; i < root->Count(); ++i) {
                const QElement* item = root->ChildAt(i);
                if (item->Kind() == ElementKind::kString && item->Integer() != 0) {
                    skipped.insert(std::string(item->Bytes()));
                }
            }
        }
    }
    for (FileEntry& entry : files_) {
        entry.priority = skipped.count(entry.relative_path) != 0 ? FileEntry::kSkipped : 0;
    }
    const std::string list = SelectionList();
    Notice(1000, 1, static_cast<int32_t>(list.size()), 0,
           {reinterpret_cast<const uint8_t*>(list.data()), list.size()});
}

bool TPieces::SetFilePriority(FileIndex file, int32_t priority) {
    if (file.value() < 0 || file.value() >= static_cast<int64_t>(files_.size()) ||
        priority < FileEntry::kSkipped || priority > 2) {
        return false;
    }
    files_[static_cast<size_t>(file.value())].priority = priority;
    const std::string list = SelectionList();
    Notice(1000, 1, static_cast<int32_t>(list.size()), 0,
           {reinterpret_cast<const uint8_t*>(list.data()), list.size()});
    return true;
}

void TPieces::PrepareFiles() {
    for (FileEntry& entry : files_) {
        if (StopRequested()) {
            break;
        }
        const bool exists = fs_.Exists(entry.path);
        if ((!entry.skipped() && entry.size > 0) || exists) {
            OpenForAccess(entry, entry.size, Access::kPrepare);
        } else if (!exists && entry.size == 0) {
            fs_.CreateFolders(os::FolderOf(entry.path));
            entry.file = fs_.Open(entry.path, os::FileSystem::Mode::kReadWrite);
        }
        bool failed = false;
        CloseFile(entry, &failed);
    }
}

}  // namespace kf
