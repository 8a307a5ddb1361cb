// Reads a product folder the way the downloader does and prints what it took from it, so that the
// lab's test checks the folder scripts/lab writes against the downloader's own rules rather than
// a second reading of them.
//
//   kf_lab_product_check FOLDER
//
// Loads FOLDER (ProductInfo::LoadFolder), fetches its resource list with the downloader's fetcher
// (HTTPS, trusting the folder's authority) and parses it (ResourceList). Prints "key=value" lines:
// the list's address and authority, per file "fileN.<field>", then "p2p", "expired", "skipped"
// and "fileN.mirror=URL HOST" for each mirror the downloader would add with nothing complete yet.
// Exit status: 0; 2 when the folder is refused; 3 when the list cannot be fetched or read.
#include <cstdio>
#include <string>

#include "app/platform/CurlFetcher.h"
#include "app/platform/ProductInfo.h"
#include "app/platform/ResourceList.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kf_lab_product_check FOLDER\n");
        return 1;
    }
    std::string error;
    const auto product = kf::app::ProductInfo::LoadFolder(argv[1], &error);
    if (!product) {
        std::fprintf(stderr, "refused: %s\n", error.c_str());
        return 2;
    }
    std::printf("resource_list_url=%s\n", product->resource_list_url.c_str());
    std::printf("ca_certificate=%s\n", product->ca_certificate.c_str());
    for (size_t i = 0; i < product->files.size(); ++i) {
        const kf::app::ProductFile& file = product->files[i];
        std::printf("file%zu.name=%s\n", i, file.name.c_str());
        std::printf("file%zu.size=%lld\n", i, static_cast<long long>(file.size));
        std::printf("file%zu.piece_length=%d\n", i, file.piece_length);
        std::printf("file%zu.source_url=%s\n", i, file.source_url.c_str());
    }

    kf::app::CurlFetcher fetcher(product->ca_certificate);
    const kf::app::Fetcher::Result fetched = fetcher.Get(product->resource_list_url, 10);
    if (!fetched.ok) {
        std::fprintf(stderr, "%s\n", fetched.error.c_str());
        return 3;
    }
    const auto list = kf::app::ResourceList::Parse(fetched.body, &error);
    if (!list) {
        std::fprintf(stderr, "unreadable resource list: %s\n", error.c_str());
        return 3;
    }
    std::printf("p2p=%s\n", list->p2p_on ? "on" : "off");
    std::printf("expired=%s\n", list->expiry.expired ? "true" : "false");
    std::printf("skipped=%zu\n", list->skipped);
    const auto mirrors = list->MirrorsFor(*product, -1, {false, false, false});
    for (size_t i = 0; i < mirrors.size(); ++i) {
        for (const auto& mirror : mirrors[i]) {
            std::printf("file%zu.mirror=%s %s\n", i, mirror.url.c_str(), mirror.host.c_str());
        }
    }
    return 0;
}
