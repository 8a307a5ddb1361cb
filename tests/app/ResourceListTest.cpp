// The resource list as the maker's server may send it, and as a hostile one might: the walk, the
// values that reach source lines, the caps, and the mirrors handed to each file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/platform/ProductInfo.h"
#include "app/platform/ResourceList.h"

namespace kf::app {
namespace {

const ProductInfo kProduct = ProductInfo::Default();

// A cdn element; `extra` goes into its start tag, `ips` are its "ip" texts.
std::string Cdn(const std::string& extra, const std::vector<std::string>& ips) {
    std::string text = "<cdn id=\"c\" name=\"n\" " + extra + ">";
    for (const std::string& ip : ips) {
        text += "<ip>" + ip + "</ip>";
    }
    return text + "</cdn>";
}

std::string SafeCdn(const std::string& file, const std::vector<std::string>& ips) {
    return Cdn("middle-dir=\"/Client/42.51/\" file-name=\"" + file +
                   "\" host-name=\"cdn.example\" open=\"yes\"",
               ips);
}

std::string Resource(const std::string& id, int file, const std::string& cdns) {
    return "<resource id=\"" + id + "\" task=\"" + kProduct.files[file].source_url + "\">" + cdns +
           "</resource>";
}

std::string List(const std::string& resources,
                 const std::string& configs = "<p2p-switch>on</p2p-switch>") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<project><configs>" + configs +
           "</configs><resources>" + resources + "</resources></project>";
}

TEST(ResourceList, ParseWalksTheListsElementsAndSkipsWhatIsUnsafe) {
    const std::string file0 = kProduct.files[0].name;
    struct Case {
        const char* what;
        std::string xml;
        bool parsed;
        const char* error;  // part of the error when not parsed
        bool p2p;           // when parsed
        size_t resources;   // ...
        size_t cdns;        // over all resources
        size_t ips;         // over all cdns
        size_t skipped;
    };
    std::string nested;
    for (int i = 0; i < 5000; ++i) {
        nested += "<a>";
    }
    const std::vector<Case> cases = {
        {"a list as published",
         List(Resource("1", 0, SafeCdn(file0, {"192.0.2.1", "192.0.2.2:8080"}))), true, "", true, 1,
         1, 2, 0},
        {"the switch is on only for \"on\"", List("", "<p2p-switch>ON</p2p-switch>"), true, "",
         false, 0, 0, 0, 0},
        {"another root", "<projects><configs><p2p-switch>on</p2p-switch></configs></projects>",
         false, "root", false, 0, 0, 0, 0},
        {"no switch", List(Resource("1", 0, SafeCdn(file0, {"192.0.2.1"})), "<other/>"), false,
         "p2p-switch", false, 0, 0, 0, 0},
        {"not XML", "<project><configs>", false, "not XML", false, 0, 0, 0, 0},
        {"nesting beyond the reader's depth", "<project>" + nested, false, "not XML", false, 0, 0,
         0, 0},
        {"a body over 1 MiB", List("<!--" + std::string(ResourceList::kMaxBody, 'x') + "-->"),
         false, "larger", false, 0, 0, 0, 0},
        {"CR/LF, spaces, '@', '/' and brackets in ips",
         List(Resource("1", 0,
                       SafeCdn(file0, {"192.0.2.1&#13;&#10;http://evil/", "192.0.2.1 x",
                                       "user@192.0.2.1", "192.0.2.1/x", "[::1]", "192.0.2.1:0",
                                       "192.0.2.1:65536", "", "192.0.2.9"}))),
         true, "", true, 1, 1, 1, 8},
        {"a host name with CR/LF",
         List(Resource("1", 0,
                       Cdn("middle-dir=\"/d/\" file-name=\"f\" open=\"1\" "
                           "host-name=\"cdn.example&#13;&#10;X-Evil: 1\"",
                           {"192.0.2.1"}))),
         true, "", true, 1, 0, 0, 1},
        {"paths that walk, escape, query or extend the host",
         List(Resource("1", 0,
                       Cdn("middle-dir=\"/../../etc/\" file-name=\"f\"", {"192.0.2.1"}) +
                           Cdn("middle-dir=\"/d/%2e%2e/\" file-name=\"f\"", {"192.0.2.1"}) +
                           Cdn("middle-dir=\"/d/\" file-name=\"f?x=1\"", {"192.0.2.1"}) +
                           Cdn("middle-dir=\".evil.example/\" file-name=\"f\"", {"192.0.2.1"}) +
                           Cdn("middle-dir=\"/d/\" file-name=\"../f\"", {"192.0.2.1"}) +
                           Cdn("middle-dir=\"/d//e/\" file-name=\"f\"", {"192.0.2.1"}) +
                           Cdn("middle-dir=\"/d/\" file-name=\"..\"", {"192.0.2.1"}))),
         true, "", true, 1, 0, 0, 7},
        {"a cdn without one of its four names",
         List(Resource("1", 0, Cdn("middle-dir=\"/d/\" file-name=\"\"", {"192.0.2.1"}))), true, "",
         true, 1, 0, 0, 1},
        {"a resource without id ends the walk",
         List(Resource("1", 0, "") + "<resource task=\"x\"/>" + Resource("3", 1, "")), true, "",
         true, 1, 0, 0, 0},
        {"another sibling ends the walk",
         List(Resource("1", 0, "") + "<other/>" + Resource("3", 1, "")), true, "", true, 1, 0, 0,
         0},
        {"a first resource after other elements is found", List("<other/>" + Resource("1", 0, "")),
         true, "", true, 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        const auto list = ResourceList::Parse(c.xml, &error);
        ASSERT_EQ(list.has_value(), c.parsed) << error;
        if (!c.parsed) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(list->p2p_on, c.p2p);
        EXPECT_EQ(list->resources.size(), c.resources);
        size_t cdns = 0;
        size_t ips = 0;
        for (const ResourceList::Resource& resource : list->resources) {
            cdns += resource.cdns.size();
            for (const ResourceList::Cdn& cdn : resource.cdns) {
                ips += cdn.ips.size();
            }
        }
        EXPECT_EQ(cdns, c.cdns);
        EXPECT_EQ(ips, c.ips);
        EXPECT_EQ(list->skipped, c.skipped);
    }
}

TEST(ResourceList, ExpiryNoticeKeepsOnlyAWebAddress) {
    const struct {
        const char* expired;
        const char* url;
        bool expect_expired;
        const char* expect_url;
    } cases[] = {
        {"true", "https://client.kestrelfetch.example/new", true,
         "https://client.kestrelfetch.example/new"},
        {"false", "http://client.kestrelfetch.example/new", false,
         "http://client.kestrelfetch.example/new"},
        {"TRUE", "file:///etc/passwd", false, ""},
        {"true", "/usr/bin/xterm", true, ""},
        {"true", "https://a.example/x y", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const auto list = ResourceList::Parse(
            List("", std::string("<p2p-switch>off</p2p-switch><expire-info><expired>") + c.expired +
                         "</expired><message>请下载新版</message><url>" + c.url +
                         "</url></expire-info>"),
            nullptr);
        ASSERT_TRUE(list.has_value());
        EXPECT_EQ(list->expiry.expired, c.expect_expired);
        EXPECT_EQ(list->expiry.message, "请下载新版");
        EXPECT_EQ(list->expiry.url, c.expect_url);
    }
}

TEST(ResourceList, MirrorsGoToTheirFileFromOpenCdnsWithinTheCap) {
    const std::string f0 = kProduct.files[0].name;
    const std::string f2 = kProduct.files[2].name;
    std::vector<std::string> many;
    for (int i = 0; i < 100; ++i) {
        many.push_back("192.0.2." + std::to_string(i));
    }
    // Listed out of the files' order: file 2 first, then file 0, then a resource for no file.
    const std::string xml =
        List(Resource("r2", 2, SafeCdn(f2, {"192.0.2.20"})) +
             Resource("r0", 0,
                      SafeCdn(f0, {"192.0.2.1", "192.0.2.2:8080"}) +
                          Cdn("middle-dir=\"/m/\" file-name=\"x\" open=\"TRUE\"", {"192.0.2.3"}) +
                          Cdn("middle-dir=\"/m/\" file-name=\"x\" open=\"maybe\"", {"192.0.2.4"}) +
                          Cdn("middle-dir=\"/m/\" file-name=\"x\"", {"192.0.2.5"}) +
                          Cdn("middle-dir=\"/m/\" file-name=\"x\" open=\"no\"", {"192.0.2.6"})) +
             "<resource id=\"r9\" task=\"http://elsewhere.example/x\">" +
             SafeCdn("x", {"192.0.2.9"}) + "</resource>" + Resource("r1", 1, SafeCdn("big", many)));
    const auto list = ResourceList::Parse(xml, nullptr);
    ASSERT_TRUE(list.has_value());

    const auto all = list->MirrorsFor(kProduct, -1, {false, false, false});
    ASSERT_EQ(all[0].size(), 3u);
    EXPECT_EQ(all[0][0].url, "http://192.0.2.1/Client/42.51/" + f0);
    EXPECT_EQ(all[0][0].host, "cdn.example");
    EXPECT_EQ(all[0][1].url, "http://192.0.2.2:8080/Client/42.51/" + f0);
    EXPECT_EQ(all[0][2].url, "http://192.0.2.3/m/x");
    EXPECT_EQ(all[0][2].host, "null");
    EXPECT_EQ(all[1].size(), ResourceList::kMaxMirrorsPerFile);
    EXPECT_EQ(all[1].back().url, "http://192.0.2.63/Client/42.51/big");
    ASSERT_EQ(all[2].size(), 1u);
    EXPECT_EQ(all[2][0].url, "http://192.0.2.20/Client/42.51/" + f2);

    // A complete file gets none unless it is the one being verified; the others keep theirs.
    const struct {
        int verify_index;
        std::array<bool, 3> complete;
        std::array<size_t, 3> counts;
    } cases[] = {
        {-1, {true, false, false}, {0, 64, 1}},
        {0, {true, false, false}, {3, 64, 1}},
        {1, {false, false, true}, {3, 64, 0}},
        {2, {true, true, true}, {0, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verify_index);
        const auto mirrors = list->MirrorsFor(kProduct, c.verify_index, c.complete);
        for (size_t file = 0; file < 3; ++file) {
            EXPECT_EQ(mirrors[file].size(), c.counts[file]) << "file " << file;
        }
    }
}

}  // namespace
}  // namespace kf::app
