#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/ControllerAction.h"
#include "app/platform/Fetcher.h"
#include "app/platform/ProductInfo.h"

namespace kf::app {

// Fetches the resource list on a thread of its own, reads it (ResourceList: untrusted XML,
// checked and capped there) and posts what it read to the controller as an action. One fetch at
// a time: a request while one runs is refused, so a slow server never piles fetches up.
//
// Owner and threads: ControllerThread owns it and calls Start and Join from the controller
// thread; the fetcher and the reader run on the worker thread, `post` is called there.
class ResourceFetchWorker {
  public:
    using Post = std::function<void(ControllerAction)>;

    // `fetcher` null: every request is refused.
    ResourceFetchWorker(std::shared_ptr<Fetcher> fetcher, ProductInfo product, Post post)
        : fetcher_(std::move(fetcher)), product_(std::move(product)), post_(std::move(post)) {}
    ResourceFetchWorker(const ResourceFetchWorker&) = delete;
    ResourceFetchWorker& operator=(const ResourceFetchWorker&) = delete;
    ~ResourceFetchWorker() { Join(); }

    // False when a fetch is still running or no thread could be made.
    bool Start(const FetchRequest& request);
    // Waits for a running fetch (at most its time-out).
    void Join();

    // The reading of a resource list's text for `request`; none when it is not a usable list
    // (`error` says why).
    static std::optional<ResourceListReading> Read(const ProductInfo& product, std::string_view xml,
                                                   const FetchRequest& request, std::string* error);

  private:
    std::shared_ptr<Fetcher> fetcher_;
    const ProductInfo product_;
    Post post_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace kf::app
