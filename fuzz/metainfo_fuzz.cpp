// Metainfo of any shape must be read without faults, and a successful read must leave a complete
// info-hash; the info dictionary is walked the way the piece map reads it.
#include <cstdint>
#include <cstdlib>

#include "engine/content/Bencode.h"
#include "engine/content/InfoReader.h"
#include "engine/content/TTorrent.h"

namespace {

class WalkingReader : public kf::InfoReader {
  public:
    bool ParseInfo(const kf::QElement* info) override {
        if (info == nullptr) {
            return false;
        }
        if (const kf::QElement* name = info->FindValue("name")) {
            name->ConvertedText();
        }
        const kf::QElement* files = info->FindValue("files");
        for (int32_t i = 0; files != nullptr && i < files->Count(); ++i) {
            const kf::QElement* path = files->ChildAt(i)->FindValue("path");
            if (path != nullptr) {
                path->Text("/");
            }
        }
        const kf::QElement* pieces = info->FindValue("pieces");
        return pieces != nullptr && pieces->Length() > 19 && pieces->Length() % 20 == 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WalkingReader reader;
    kf::TTorrent torrent(nullptr, &reader);
    const bool ok = torrent.ParseMetainfo(std::span<const uint8_t>(data, size));
    if (ok != (torrent.info_hash_hex().size() == 40)) {
        std::abort();
    }
    if (!ok && !torrent.trackers().empty()) {
        std::abort();
    }
    return 0;
}
