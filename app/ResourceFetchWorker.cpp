#include "app/ResourceFetchWorker.h"

#include <pthread.h>

#include <system_error>

namespace kf::app {

std::optional<ResourceListReading> ResourceFetchWorker::Read(const ProductInfo& product,
                                                             std::string_view xml,
                                                             const FetchRequest& request,
                                                             std::string* error) {
    const std::optional<ResourceList> list = ResourceList::Parse(xml, error);
    if (!list) {
        return std::nullopt;
    }
    ResourceListReading reading;
    reading.p2p_on = list->p2p_on;
    reading.expiry = list->expiry;
    reading.mirrors = list->MirrorsFor(product, request.verify_index, request.complete);
    return reading;
}

bool ResourceFetchWorker::Start(const FetchRequest& request) {
    if (!fetcher_ || running_.load()) {
        return false;
    }
    Join();  // a finished fetch whose thread has not been collected yet
    running_ = true;
    try {
        thread_ = std::thread([this, request] {
            pthread_setname_np(pthread_self(), "KFResourceList");
            action::ResourceListDone done;
            done.kind = request.kind;
            const Fetcher::Result result =
                fetcher_->Get(product_.resource_list_url, request.timeout_seconds);
            done.fetched = result.ok;
            done.error = result.error;
            if (result.ok) {
                done.reading = Read(product_, result.body, request, &done.error);
            }
            running_ = false;
            post_(std::move(done));
        });
    } catch (const std::system_error&) {
        running_ = false;
        return false;
    }
    return true;
}

void ResourceFetchWorker::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace kf::app
