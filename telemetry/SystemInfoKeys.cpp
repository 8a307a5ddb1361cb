#include "telemetry/SystemInfoKeys.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "telemetry/SourceFile.h"

namespace kf {

std::optional<SystemInfoKeys> SystemInfoKeys::Parse(std::string_view text) {
    tinyxml2::XMLDocument document;
    if (document.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) {
        return std::nullopt;
    }
    SystemInfoKeys keys;
    const tinyxml2::XMLElement* root = document.RootElement();
    if (root == nullptr) {
        return keys;
    }
    if (const auto* hardware = root->FirstChildElement("pt_hardware")) {
        for (const auto* item = hardware->FirstChildElement(); item != nullptr;
             item = item->NextSiblingElement()) {
            const char* submit = item->Attribute("SubmitType");
            if (submit != nullptr && std::string_view(submit) == "Yes" &&
                keys.hardware_.size() < kMaxMatchTexts) {
                keys.hardware_.emplace_back(item->Name());
            }
        }
    }
    if (const auto* software = root->FirstChildElement("pt_software")) {
        for (const auto* category = software->FirstChildElement(); category != nullptr;
             category = category->NextSiblingElement()) {
            std::vector<std::string> texts;
            for (const auto* entry = category->FirstChildElement();
                 entry != nullptr && texts.size() < kMaxMatchTexts;
                 entry = entry->NextSiblingElement()) {
                const char* key = entry->Attribute("Regkey");
                if (key == nullptr || key[0] == '\0' || std::strlen(key) > kMaxMatchLength) {
                    continue;
                }
                std::string lower(key);
                std::transform(lower.begin(), lower.end(), lower.begin(),
                               [](unsigned char c) { return std::tolower(c); });
                texts.push_back(std::move(lower));
            }
            if (keys.software_.size() < kMaxMatchTexts) {
                keys.software_.emplace_back(category->Name(), std::move(texts));
            }
        }
    }
    return keys;
}

std::optional<SystemInfoKeys> SystemInfoKeys::Load(const std::string& folder) {
    const auto text = SourceFile::Read(folder + "/" + kFileName, kMaxFileBytes);
    return text ? Parse(*text) : std::nullopt;
}

bool SystemInfoKeys::HardwareEnabled(std::string_view item) const {
    return std::find(hardware_.begin(), hardware_.end(), item) != hardware_.end();
}

std::vector<std::string> SystemInfoKeys::MatchTexts(std::string_view category) const {
    for (const auto& [name, texts] : software_) {
        if (name == category) {
            return texts;
        }
    }
    return {};
}

}  // namespace kf
