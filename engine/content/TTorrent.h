#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/TRefObject.h"
#include "engine/content/TaskState.h"

namespace kf {

class InfoReader;
class QElement;
class QMultiElement;
class TaskLink;

// Metainfo of one task: tracker list, info-hash in three forms and the descriptive strings. The
// "info" dictionary itself is laid out by the piece map through InfoReader.
//
// Ownership: reference counted; held by its task and its piece map. The task link and the info
// reader are non-owning and must outlive the object (the piece map, which is the reader, owns the
// torrent; a counted reference back would be a cycle). Both may be null.
// Thread: the task's thread only.
// Trust: metainfo bytes and files are untrusted; see Bencode.h for the parse limits.
class TTorrent : public TRefObject {
  public:
    static constexpr size_t kInfoHashSize = 20;
    using InfoHash = std::array<uint8_t, kInfoHashSize>;
    // Larger metainfo files are treated as unreadable.
    static constexpr int64_t kMaxMetainfoFileBytes = 64 << 20;
    // Task status for a metainfo file that cannot be read.
    static constexpr int32_t kStatusMetainfoUnreadable = 20211;

    explicit TTorrent(TaskLink* task, InfoReader* info_reader = nullptr);
    ~TTorrent() override;

    // Reads the metainfo from its source: the seed descriptor when source_text holds one, else
    // metainfo_bytes when set, else the "file://" address in source_text. False when nothing
    // usable was read or the info dictionary was refused; the fields are then empty.
    bool Load();
    // Parses a metainfo file's bytes. On failure every field is cleared and false is answered.
    bool ParseMetainfo(std::span<const uint8_t> bytes);

    // Cuts an announce address to the part from its first 'h'/'u' (either case) on, without
    // trailing '|' characters; empty when there is no such letter.
    static std::string CleanTrackerUrl(std::string_view raw);

    void SetInfoReader(InfoReader* reader) { info_reader_ = reader; }
    void SetMetainfoBytes(std::string bytes) { metainfo_bytes_ = std::move(bytes); }
    void SetSourceText(std::string text) { source_text_ = std::move(text); }
    // The code page of the text values; a non-zero one is kept over what the metainfo declares.
    void SetCodePage(int32_t code_page) { code_page_ = code_page; }

    int32_t code_page() const { return code_page_; }
    const std::string& announce() const { return announce_; }
    const std::string& publisher() const { return publisher_; }
    const std::string& publisher_url() const { return publisher_url_; }
    const std::string& comment() const { return comment_; }
    int64_t creation_date() const { return creation_date_; }
    // All zero while unknown.
    const InfoHash& info_hash() const { return info_hash_; }
    // Letters and digits as they are, every other byte as "%xx" (lower-case hex).
    const std::string& info_hash_escaped() const { return info_hash_escaped_; }
    // 40 lower-case hex digits.
    const std::string& info_hash_hex() const { return info_hash_hex_; }
    // The announce address first (even when empty), then the announce-list entries in order.
    const std::vector<std::string>& trackers() const { return trackers_; }
    const std::string& metainfo_bytes() const { return metainfo_bytes_; }
    const std::string& source_text() const { return source_text_; }
    TaskLink* task() const { return task_; }
    InfoReader* info_reader() const { return info_reader_; }

    // Content without metainfo (a plain file from servers) is identified by the SHA-1 of its layout
    // record, so that its resume record is recognised as its own.
    void IdentifyByLayout(std::span<const uint8_t> layout_record) { SetInfoHash(layout_record); }

  private:
    bool LoadFromAddress();
    bool ReadRoot(QElement& root);
    void ChooseCodePage(const QMultiElement& dict);
    void WalkAnnounceList(const QMultiElement& container);
    void SetInfoHash(std::span<const uint8_t> info_bytes);
    void ClearFields();
    void SetTaskState(TaskState state);

    int32_t code_page_ = 0;
    std::string announce_;
    std::string publisher_;
    std::string publisher_url_;
    std::string comment_;
    int64_t creation_date_ = 0;
    InfoHash info_hash_{};
    std::string info_hash_escaped_;
    std::string info_hash_hex_;
    std::vector<std::string> trackers_;
    std::string metainfo_bytes_;
    std::string source_text_;
    InfoReader* info_reader_;
    TaskLink* task_;
};

}  // namespace kf
