#include "app/platform/ResourceList.h"

#include <tinyxml2.h>

#include <cstring>

#include "app/platform/ProductInfo.h"
#include "app/platform/TextChecks.h"

namespace kf::app {

namespace {

using tinyxml2::XMLElement;

// Visits the children of `parent` named `name` as the list is walked: from the first one so
// named up to the first following sibling of another name. `visit` answers false to stop.
template <typename Visit>
void Walk(const XMLElement* parent, const char* name, Visit visit) {
    if (parent == nullptr) {
        return;
    }
    for (const XMLElement* element = parent->FirstChildElement(name);
         element != nullptr && std::strcmp(element->Name(), name) == 0;
         element = element->NextSiblingElement()) {
        if (!visit(*element)) {
            return;
        }
    }
}

std::string TextOf(const XMLElement* element) {
    const char* text = element != nullptr ? element->GetText() : nullptr;
    return text != nullptr ? text : "";
}

std::string AttributeOf(const XMLElement& element, const char* name) {
    const char* value = element.Attribute(name);
    return value != nullptr ? value : "";
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// "true", "yes" and "1" in any case are true; anything else, or no attribute, is false.
bool IsOpen(const XMLElement& cdn) {
    const std::string value = AttributeOf(cdn, "open");
    return EqualsIgnoringCase(value, "true") || EqualsIgnoringCase(value, "yes") || value == "1";
}

// The cdn when every text of it that goes into a source line is safe there; none otherwise.
std::optional<ResourceList::Cdn> ReadCdn(const XMLElement& element, size_t* skipped) {
    ResourceList::Cdn cdn;
    cdn.id = AttributeOf(element, "id");
    cdn.name = AttributeOf(element, "name");
    cdn.middle_dir = AttributeOf(element, "middle-dir");
    cdn.file_name = AttributeOf(element, "file-name");
    if (element.Attribute("host-name") != nullptr) {
        cdn.host_name = AttributeOf(element, "host-name");
    }
    cdn.open = IsOpen(element);
    if (cdn.id.empty() || cdn.name.empty() || cdn.middle_dir.empty() || cdn.file_name.empty() ||
        !IsPlainUrlPath(cdn.middle_dir) || !IsPlainUrlName(cdn.file_name) ||
        !IsPlainHost(cdn.host_name)) {
        ++*skipped;
        return std::nullopt;
    }
    Walk(&element, "ip", [&](const XMLElement& ip) {
        std::string host = TextOf(&ip);
        if (IsPlainHost(host)) {
            cdn.ips.push_back(std::move(host));
        } else {
            ++*skipped;
        }
        return true;
    });
    return cdn;
}

}  // namespace

std::optional<ResourceList> ResourceList::Parse(std::string_view xml, std::string* error) {
    const auto fail = [error](const std::string& what) {
        if (error != nullptr) {
            *error = what;
        }
        return std::nullopt;
    };
    if (xml.size() > kMaxBody) {
        return fail("the resource list is larger than " + std::to_string(kMaxBody) + " bytes");
    }
    tinyxml2::XMLDocument document;
    if (document.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS) {
        return fail(std::string("the resource list is not XML: ") + document.ErrorStr());
    }
    const XMLElement* root = document.RootElement();
    if (root == nullptr || std::strcmp(root->Name(), "project") != 0) {
        return fail("the resource list's root is not \"project\"");
    }
    const XMLElement* configs = root->FirstChildElement("configs");
    const XMLElement* p2p = configs != nullptr ? configs->FirstChildElement("p2p-switch") : nullptr;
    if (p2p == nullptr) {
        return fail("the resource list has no \"p2p-switch\"");
    }

    ResourceList list;
    list.p2p_on = TextOf(p2p) == "on";
    if (const XMLElement* expire = configs->FirstChildElement("expire-info")) {
        list.expiry.expired = TextOf(expire->FirstChildElement("expired")) == "true";
        list.expiry.message = TextOf(expire->FirstChildElement("message"));
        // The address is opened on the user's desktop: a web page, nothing else.
        list.expiry.url = TextOf(expire->FirstChildElement("url"));
        if (!list.expiry.url.empty() && !IsWebUrl(list.expiry.url, true)) {
            list.expiry.url.clear();
            ++list.skipped;
        }
    }

    Walk(root->FirstChildElement("resources"), "resource", [&](const XMLElement& element) {
        Resource resource;
        resource.id = AttributeOf(element, "id");
        if (resource.id.empty()) {
            return false;
        }
        resource.task = AttributeOf(element, "task");
        Walk(&element, "cdn", [&](const XMLElement& cdn_element) {
            if (auto cdn = ReadCdn(cdn_element, &list.skipped)) {
                resource.cdns.push_back(std::move(*cdn));
            }
            return true;
        });
        list.resources.push_back(std::move(resource));
        return true;
    });
    return list;
}

std::array<std::vector<ResourceList::Mirror>, 3> ResourceList::MirrorsFor(
    const ProductInfo& product, int verify_index, const std::array<bool, 3>& complete) const {
    std::array<std::vector<Mirror>, 3> mirrors;
    for (const Resource& resource : resources) {
        size_t file = 0;
        while (file < product.files.size() && product.files[file].source_url != resource.task) {
            ++file;
        }
        if (file == product.files.size() ||
            (static_cast<int>(file) != verify_index && complete[file])) {
            continue;
        }
        for (const Cdn& cdn : resource.cdns) {
            if (!cdn.open) {
                continue;
            }
            for (const std::string& ip : cdn.ips) {
                if (mirrors[file].size() == kMaxMirrorsPerFile) {
                    break;
                }
                mirrors[file].push_back(
                    {"http://" + ip + cdn.middle_dir + cdn.file_name, cdn.host_name});
            }
        }
    }
    return mirrors;
}

}  // namespace kf::app
