// The gateway's root description and the remembered port: parsed from files, hostile ones too.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "engine/upnp/IgdDeviceInfo.h"
#include "engine/upnp/RememberedPort.h"
#include "support/TempDir.h"

namespace kf {
namespace {

std::string Fixture(const char* name) {
    std::ifstream file(std::string(KF_TEST_DATA_DIR) + "/upnp/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(IgdDeviceInfo, ReadsTheRootDevicesPropertiesInOrder) {
    const auto info = IgdDeviceInfo::Parse(Fixture("gateway-root.xml"));
    ASSERT_TRUE(info);
    const std::vector<std::string> expected = {
        "Yes: 2 children",
        "Home gateway",
        "Attic gateway",
        "Yes",
        "/small.gif",  // the 32 x 32 8-bit GIF, although listed second
        "Yes",
        "Example Networks",
        "http://example.net/",
        "HG-7",  // the root's model, not the inner device's
        "7.2",
        "http://example.net/hg7",
        "This is a topmost device",
        "http://192.168.1.1/",
        "This is a topmost device",
        "A1B2C3",
        "Yes: One service",
        "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
        "uuid:00000000-1111-2222-3333-444444444444",
        "012345678905",
    };
    const auto fields = info->Fields();
    ASSERT_EQ(fields.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(*fields[i], expected[i]) << "field " << i;
    }
}

TEST(IgdDeviceInfo, RefusesWhatIsNoDescriptionAndCapsTexts) {
    const std::string huge_name(IgdDeviceInfo::kMaxTextBytes * 3, 'n');
    const std::string bare =
        "<root><device><modelName>" + huge_name + "</modelName></device></root>";
    const auto capped = IgdDeviceInfo::Parse(bare);
    ASSERT_TRUE(capped);
    EXPECT_EQ(capped->model_name.size(), IgdDeviceInfo::kMaxTextBytes);
    EXPECT_EQ(capped->children, "No: Zero children");
    EXPECT_EQ(capped->services, "No: Zero services");
    EXPECT_EQ(capped->icon_url, "");

    const std::string oversized = "<root><device><x>" +
                                  std::string(IgdDeviceInfo::kMaxDocumentBytes, 'x') +
                                  "</x></device></root>";
    for (const std::string& hostile :
         {std::string(), std::string("<root><device>"), std::string("not xml at all"),
          std::string("<root><other/></root>"),
          std::string("<device><modelName>m</modelName></device>"),
          std::string("<root>\0<device/></root>", 23), oversized}) {
        EXPECT_FALSE(IgdDeviceInfo::Parse(hostile)) << hostile.substr(0, 40);
    }
}

TEST(RememberedPort, StoresAPortAndReadsBackOnlyAPort) {
    test::TempDir dir;
    const RememberedPort remembered(dir.Path() + "/sub/upnp.port");
    EXPECT_EQ(remembered.Load(), 0);  // no file yet
    ASSERT_TRUE(remembered.Store(45123));
    EXPECT_EQ(remembered.Load(), 45123);
    EXPECT_FALSE(remembered.Store(0));
    EXPECT_FALSE(remembered.Store(70000));
    EXPECT_EQ(remembered.Load(), 45123);
    EXPECT_FALSE(RememberedPort("").Store(45123));

    for (const char* text : {"", "abc", "45123x", "-1", "65536", "99999999999999999999", "0",
                             "4512345123451234512345"}) {
        std::ofstream(remembered.Path(), std::ios::trunc) << text;
        EXPECT_EQ(remembered.Load(), 0) << text;
    }
    std::ofstream(remembered.Path(), std::ios::trunc) << "40001\r\n";
    EXPECT_EQ(remembered.Load(), 40001);
}

}  // namespace
}  // namespace kf
