// The compiled-in product and product folders: the file table, the embedded telemetry
// configuration, and what a product folder may and may not say.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "app/platform/EmbeddedFiles.h"
#include "app/platform/IniText.h"
#include "app/platform/ProductInfo.h"
#include "support/ContentFiles.h"
#include "support/TempDir.h"

namespace kf::app {
namespace {

using test::TempDir;
using test::WriteFile;

TEST(ProductInfo, DefaultHoldsTheFileTableAndTheEmbeddedConfiguration) {
    const ProductInfo product = ProductInfo::Default();
    const struct {
        const char* name;
        int64_t size;
        const char* md5;
        int32_t piece_length;
    } table[] = {
        {"Glimmerdeep_setup_0.122.42.51.exe", 115031392, "abb4e541009f7264b599687c4f32c4b5", 65536},
        {"Glimmerdeep_data.7z.001", 1073741824, "498c541ba964b5911969c625ef23d1e8", 1048576},
        {"Glimmerdeep_data.7z.002", 977896940, "5c081b551d73b041b862c2dbf6e0da53", 524288},
    };
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const ProductFile& file = product.files[i];
        EXPECT_EQ(file.name, table[i].name);
        EXPECT_EQ(file.size, table[i].size);
        EXPECT_EQ(file.md5, table[i].md5);
        EXPECT_EQ(file.piece_length, table[i].piece_length);
        EXPECT_TRUE(file.source_url.starts_with("http://"));
        EXPECT_TRUE(file.source_url.ends_with(std::string("/Client/42.51/") + table[i].name));
        EXPECT_TRUE(file.torrent.empty());  // HTTP only: no metainfo ships with the default
    }
    EXPECT_EQ(product.Id(), "abb4e541009f7264b599687c4f32c4b5");
    EXPECT_EQ(product.RequiredBytes(), 2271527756);
    EXPECT_EQ(product.TotalBytes(), 2271527756 - 104857600);
    EXPECT_TRUE(product.resource_list_url.starts_with("https://"));
    EXPECT_TRUE(product.resource_list_url.ends_with("/downloader/GDResourceList20150906.xml"));
    EXPECT_TRUE(product.ca_certificate.empty());
    EXPECT_EQ(product.game_version, "v122.42.51");
    // The embedded bytes are the resource file's, byte for byte.
    const std::string shipped = test::ReadWholeFile(std::string(KF_SOURCE_DIR) +
                                                    "/app/platform/resources/dataupload.kfconf");
    ASSERT_FALSE(shipped.empty());
    EXPECT_EQ(product.telemetry_config, shipped);
    EXPECT_EQ(EmbeddedFiles::Find("dataupload.kfconf"), shipped);
    EXPECT_TRUE(EmbeddedFiles::Find("none").empty());
    for (const char* text : {"[SubmitEventDownload]", "[SubmitEventDownloadSeveral]",
                             "/launchersubmit/eventInfoSubmit", "/launchersubmit/eventListSubmit",
                             "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion",
                             "SubmitDataKeyWord=MachId;Mac;OS", "[OsTypeCode]", "Other=999"}) {
        EXPECT_NE(shipped.find(text), std::string::npos) << text;
    }
}

TEST(ProductInfo, IniTextReadsSectionsAndRefusesWhatIsNotIni) {
    const auto ini = IniText::Parse(
        "\xEF\xBB\xBF; comment\r\n# another\r\n\r\n[Product]\r\n  Key = some value \r\n"
        "empty=\n[file0]\nkey=other",
        nullptr);
    ASSERT_TRUE(ini.has_value());
    ASSERT_NE(ini->Find("PRODUCT", "key"), nullptr);
    EXPECT_EQ(*ini->Find("PRODUCT", "key"), "some value");
    EXPECT_EQ(*ini->Find("product", "EMPTY"), "");
    EXPECT_EQ(*ini->Find("file0", "key"), "other");
    EXPECT_EQ(ini->Find("file1", "key"), nullptr);
    EXPECT_EQ(ini->Entries().size(), 3u);

    std::string many = "[s]\n";
    for (size_t i = 0; i <= IniText::kMaxEntries; ++i) {
        many += "k" + std::to_string(i) + "=v\n";
    }
    const struct {
        std::string text;
        const char* error;
    } bad[] = {
        {"key=value\n", "line 1: a key before"},
        {"[s]\njust words\n", "line 2: neither"},
        {"[s\n", "line 1: a section line"},
        {"[s]\nk=1\nK=2\n", "line 3: \"k\" given twice"},
        {std::string("[s]\nk=a\0b\n", 10), "NUL"},
        {"[s]\n" + std::string(IniText::kMaxBytes, ';'), "more than"},
        {many, "keys"},
    };
    for (const auto& c : bad) {
        std::string error;
        EXPECT_FALSE(IniText::Parse(c.text, &error).has_value()) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

// A product folder as app/README.md describes it, with one key replaced or removed per case.
class ProductFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(WriteFile(dir_ / "setup.torrent", "d4:infod4:name3:abcee"));
        ASSERT_TRUE(WriteFile(dir_ / "ca.pem",
                              "-----BEGIN CERTIFICATE-----\nAA==\n"
                              "-----END CERTIFICATE-----\n"));
        ASSERT_TRUE(WriteFile(dir_ / "upload.kfconf", "[SubmitEventDownload]\n"));
        ASSERT_TRUE(WriteFile(dir_ / "notes.txt", "no certificate here\n"));
        keys_ = {
            {"product.resource_list_url", "https://127.0.0.1:8443/downloader/list.xml"},
            {"product.ca_certificate", "ca.pem"},
            {"product.telemetry_config", "upload.kfconf"},
            {"product.game_version", "v1.2"},
            {"product.rendezvous", "rendezvous.lab-7.test:8282"},
            {"product.dht_bootstrap", "127.0.0.2:6881,node-3.lab.test:53"},
        };
        for (int i = 0; i < 3; ++i) {
            const std::string s = "file" + std::to_string(i) + ".";
            keys_[s + "name"] = "f" + std::to_string(i) + ".bin";
            keys_[s + "size"] = std::to_string(1000 + i);
            keys_[s + "md5"] = std::string(31, 'A') + std::to_string(i);
            keys_[s + "piece_length"] = "16384";
            keys_[s + "source_url"] = "http://127.0.0.1:18080/Client/42.51/f" + std::to_string(i);
        }
        keys_["file0.torrent"] = "setup.torrent";
    }

    std::optional<ProductInfo> Load(std::string* error) {
        std::string ini;
        std::string section;
        for (const auto& [dotted, value] : keys_) {
            const std::string wanted = dotted.substr(0, dotted.find('.'));
            if (wanted != section) {
                section = wanted;
                ini += "[" + section + "]\n";
            }
            ini += dotted.substr(dotted.find('.') + 1) + " = " + value + "\n";
        }
        EXPECT_TRUE(WriteFile(dir_ / "product.ini", ini));
        return ProductInfo::LoadFolder(dir_.Path(), error);
    }

    TempDir dir_;
    std::map<std::string, std::string> keys_;
};

TEST_F(ProductFolder, LoadsEveryKey) {
    std::string error;
    const auto product = Load(&error);
    ASSERT_TRUE(product.has_value()) << error;
    EXPECT_EQ(product->files[1].name, "f1.bin");
    EXPECT_EQ(product->files[2].size, 1002);
    EXPECT_EQ(product->files[0].md5, std::string(31, 'a') + "0");
    EXPECT_EQ(product->Id(), product->files[0].md5);
    EXPECT_EQ(product->files[0].piece_length, 16384);
    EXPECT_EQ(product->files[0].source_url, "http://127.0.0.1:18080/Client/42.51/f0");
    EXPECT_EQ(product->files[0].torrent, "d4:infod4:name3:abcee");
    EXPECT_TRUE(product->files[1].torrent.empty());
    EXPECT_EQ(product->resource_list_url, "https://127.0.0.1:8443/downloader/list.xml");
    EXPECT_EQ(product->ca_certificate, dir_ / "ca.pem");
    EXPECT_EQ(product->telemetry_config, "[SubmitEventDownload]\n");
    EXPECT_EQ(product->game_version, "v1.2");
    EXPECT_EQ(product->rendezvous_host, "rendezvous.lab-7.test");
    EXPECT_EQ(product->rendezvous_port, 8282);
    EXPECT_EQ(product->dht_bootstrap, "127.0.0.2:6881,node-3.lab.test:53");
    EXPECT_EQ(product->RequiredBytes(), 3003 + ProductInfo::kReserveBytes);
}

TEST_F(ProductFolder, RefusesWhatIsMissingOrUnsafe) {
    const struct {
        const char* key;
        const char* value;  // null: the key is removed
        const char* error;
    } cases[] = {
        {"file1.md5", nullptr, "[file1] has no md5"},
        {"file1.md5", "abc", "md5 is not 32 hex digits"},
        {"file1.md5", "0123456789abcdef0123456789abcdeg", "md5 is not 32 hex digits"},
        {"file2.size", "0", "size is not a positive number"},
        {"file2.size", "12x", "size is not a positive number"},
        {"file2.piece_length", "-16384", "piece_length is not a positive number"},
        {"file0.name", "../f0.bin", "name is not a plain file name"},
        {"file1.name", "f0.bin", "two files are named"},
        {"file0.source_url", "ftp://127.0.0.1/f0", "source_url is not an http(s) address"},
        {"file0.source_url", "http://127.0.0.1/a b", "source_url is not an http(s) address"},
        {"file0.torrent", "missing.torrent", "torrent:"},
        {"file0.surprise", "1", "unknown key \"surprise\" in [file0]"},
        {"file3.name", "f3.bin", "unknown key \"name\" in [file3]"},
        {"product.resource_list_url", "gopher://127.0.0.1/list", "resource_list_url"},
        {"product.resource_list_url", nullptr, "resource_list_url"},
        {"product.telemetry_config", nullptr, "has no telemetry_config"},
        {"product.telemetry_config", "/nonexistent/upload.kfconf", "telemetry_config:"},
        {"product.ca_certificate", "notes.txt", "no PEM certificate"},
        {"product.game_version", "v1\x01", "game_version"},
        {"product.rendezvous", "127.0.0.7", "rendezvous is not host:port"},
        {"product.rendezvous", "127.0.0.7:0", "rendezvous is not host:port"},
        {"product.rendezvous", "127.0.0.7:65536", "rendezvous is not host:port"},
        {"product.rendezvous", ":82", "rendezvous is not host:port"},
        {"product.rendezvous", "a@b:82", "rendezvous is not host:port"},
        {"product.dht_bootstrap", "127.0.0.2:6881,", "dht_bootstrap is not host:port"},
        {"product.dht_bootstrap", "127.0.0.2:70000", "dht_bootstrap is not host:port"},
        {"product.dht_bootstrap", "a b:1", "dht_bootstrap is not host:port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const auto saved = keys_;
        if (c.value == nullptr) {
            keys_.erase(c.key);
        } else {
            keys_[c.key] = c.value;
        }
        std::string error;
        EXPECT_FALSE(Load(&error).has_value());
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        keys_ = saved;
    }
    std::string error;
    EXPECT_FALSE(ProductInfo::LoadFolder(dir_ / "nowhere", &error).has_value());
    EXPECT_NE(error.find("product.ini"), std::string::npos) << error;
}

}  // namespace
}  // namespace kf::app
