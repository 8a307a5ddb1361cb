#include "telemetry/EventText.h"

#include <json/writer.h>

namespace kf {
namespace {

std::string Written(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

}  // namespace

std::string EventText::Members(const Json::Value& object) {
    const std::string text = Written(object);
    // "{...}" → "...": an empty object leaves nothing between the braces.
    return text.substr(1, text.size() - 2) + "\n";
}

std::string EventText::Info(const Json::Value& own, std::string_view fragment) {
    return "{" + Members(own) + std::string(fragment) + "}";
}

std::string EventText::Array(const Json::Value& array) {
    return Written(array) + "\n";
}

std::string EventText::FormEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= 'a' && byte <= 'z')) {
            out += c;
        } else if (byte == ' ') {
            out += '_';
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

}  // namespace kf
