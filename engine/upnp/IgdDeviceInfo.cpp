#include "engine/upnp/IgdDeviceInfo.h"

#include <tinyxml2.h>

namespace kf {
namespace {

using tinyxml2::XMLElement;

constexpr const char* kTopmost = "This is a topmost device";

std::string TextOf(const XMLElement* parent, const char* name) {
    const XMLElement* element = parent->FirstChildElement(name);
    const char* text = element != nullptr ? element->GetText() : nullptr;
    std::string result = text != nullptr ? text : "";
    if (result.size() > IgdDeviceInfo::kMaxTextBytes) {
        result.resize(IgdDeviceInfo::kMaxTextBytes);
    }
    return result;
}

int CountChildren(const XMLElement* parent, const char* list, const char* item) {
    const XMLElement* container = parent->FirstChildElement(list);
    int count = 0;
    for (const XMLElement* child = container != nullptr ? container->FirstChildElement(item)
                                                        : nullptr;
         child != nullptr; child = child->NextSiblingElement(item)) {
        ++count;
    }
    return count;
}

std::string Counted(int count, const char* one, const char* many) {
    if (count == 0) {
        return std::string("No: Zero ") + many;
    }
    if (count == 1) {
        return std::string("Yes: One ") + one;
    }
    return "Yes: " + std::to_string(count) + " " + many;
}

std::string IconUrl(const XMLElement* device) {
    const XMLElement* list = device->FirstChildElement("iconList");
    if (list == nullptr) {
        return {};
    }
    std::string first;
    for (const XMLElement* icon = list->FirstChildElement("icon"); icon != nullptr;
         icon = icon->NextSiblingElement("icon")) {
        std::string url = TextOf(icon, "url");
        if (TextOf(icon, "mimetype") == "image/gif" && TextOf(icon, "width") == "32" &&
            TextOf(icon, "height") == "32" && TextOf(icon, "depth") == "8") {
            return url;
        }
        if (first.empty()) {
            first = std::move(url);
        }
    }
    return first;
}

}  // namespace

std::array<const std::string*, IgdDeviceInfo::kFieldCount> IgdDeviceInfo::Fields() const {
    return {&children,  &description,   &friendly_name,    &has_children, &icon_url,
            &is_root,   &manufacturer,  &manufacturer_url, &model_name,   &model_number,
            &model_url, &parent_device, &presentation_url, &root_device,  &serial_number,
            &services,  &type,          &unique_name,      &upc};
}

std::optional<IgdDeviceInfo> IgdDeviceInfo::Parse(std::string_view document) {
    if (document.empty() || document.size() > kMaxDocumentBytes) {
        return std::nullopt;
    }
    tinyxml2::XMLDocument xml;
    if (xml.Parse(document.data(), document.size()) != tinyxml2::XML_SUCCESS) {
        return std::nullopt;
    }
    const XMLElement* root = xml.FirstChildElement("root");
    const XMLElement* device = root != nullptr ? root->FirstChildElement("device") : nullptr;
    if (device == nullptr) {
        return std::nullopt;
    }
    IgdDeviceInfo info;
    const int children = CountChildren(device, "deviceList", "device");
    info.children = Counted(children, "child", "children");
    info.description = TextOf(device, "modelDescription");
    info.friendly_name = TextOf(device, "friendlyName");
    info.has_children = children > 0 ? "Yes" : "No";
    info.icon_url = IconUrl(device);
    info.is_root = "Yes";
    info.manufacturer = TextOf(device, "manufacturer");
    info.manufacturer_url = TextOf(device, "manufacturerURL");
    info.model_name = TextOf(device, "modelName");
    info.model_number = TextOf(device, "modelNumber");
    info.model_url = TextOf(device, "modelURL");
    info.parent_device = kTopmost;
    info.presentation_url = TextOf(device, "presentationURL");
    info.root_device = kTopmost;
    info.serial_number = TextOf(device, "serialNumber");
    info.services = Counted(CountChildren(device, "serviceList", "service"), "service", "services");
    info.type = TextOf(device, "deviceType");
    info.unique_name = TextOf(device, "UDN");
    info.upc = TextOf(device, "UPC");
    return info;
}

}  // namespace kf
