#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kf {

// The properties of a gateway's root device, read from its root description (the XML document
// that discovery points to). Texts are as the document has them; counts and yes/no values are
// written out as words.
//
// Owner and threads: a value. Parse is bytes-in, result-out and keeps no state.
// Limits and trust: the document is untrusted; one above kMaxDocumentBytes, one that is not XML,
// or one without a root device gives no result. Each text is cut at kMaxTextBytes.
struct IgdDeviceInfo {
    static constexpr size_t kMaxDocumentBytes = 256 * 1024;
    static constexpr size_t kMaxTextBytes = 512;
    static constexpr size_t kFieldCount = 19;

    std::string children;  // "No: Zero children", "Yes: One child" or "Yes: N children"
    std::string description;
    std::string friendly_name;
    std::string has_children;  // "Yes" or "No"
    std::string icon_url;      // the 32 x 32, 8-bit GIF icon, else the first icon listed
    std::string is_root;       // "Yes": only the root device is read
    std::string manufacturer;
    std::string manufacturer_url;
    std::string model_name;
    std::string model_number;
    std::string model_url;
    std::string parent_device;  // "This is a topmost device" for the root
    std::string presentation_url;
    std::string root_device;  // "This is a topmost device" for the root
    std::string serial_number;
    std::string services;  // "No: Zero services", "Yes: One service" or "Yes: N services"
    std::string type;
    std::string unique_name;
    std::string upc;

    // The 19 texts in the order above, for logs and observers.
    std::array<const std::string*, kFieldCount> Fields() const;

    static std::optional<IgdDeviceInfo> Parse(std::string_view document);
};

}  // namespace kf
