#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kf {

// "SystemInfoKeys.xml": which hardware items and which software of each category the device
// description holds. Layout: a root element; under it "pt_hardware" with item elements whose
// attribute SubmitType is exactly "Yes" when the item is wanted, and "pt_software" with one
// element per category whose children name a match text in their attribute "Regkey".
//
// Parse: bytes in, keys out (tinyxml2); none when the text is no XML document. Limits: at most
// kMaxMatchTexts match texts per category, each at most kMaxMatchLength bytes (longer ones are
// skipped). Plain data after parsing.
class SystemInfoKeys {
  public:
    static constexpr const char* kFileName = "SystemInfoKeys.xml";
    static constexpr size_t kMaxFileBytes = 1024 * 1024;
    static constexpr size_t kMaxMatchTexts = 512;
    static constexpr size_t kMaxMatchLength = 256;

    static std::optional<SystemInfoKeys> Parse(std::string_view text);
    // Reads kFileName in `folder`; none when missing or unreadable.
    static std::optional<SystemInfoKeys> Load(const std::string& folder);

    bool HardwareEnabled(std::string_view item) const;
    // The category's match texts, lower-cased; empty when the category is missing.
    std::vector<std::string> MatchTexts(std::string_view category) const;

  private:
    std::vector<std::string> hardware_;
    std::vector<std::pair<std::string, std::vector<std::string>>> software_;
};

}  // namespace kf
