#include "app/DigestWorker.h"

#include <pthread.h>

#include <system_error>

#include "app/FileDigest.h"

namespace kf::app {

bool DigestWorker::Start(const DigestRequest& request) {
    Stop();
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    try {
        thread_ = std::thread([post = post_, request, cancel] {
            pthread_setname_np(pthread_self(), "KFFileDigest");
            int32_t posted = -1;
            const std::string digest = FileDigest::Md5(
                request.path,
                [&](int32_t progress) {
                    if (progress - posted >= 10 || progress == 10000) {
                        posted = progress;
                        post(action::DigestProgress{request.generation, progress});
                    }
                },
                cancel.get());
            if (!cancel->load()) {
                post(action::DigestDone{request.generation, digest});
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    cancel_ = std::move(cancel);
    return true;
}

void DigestWorker::Stop() {
    if (cancel_) {
        cancel_->store(true);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    cancel_.reset();
}

}  // namespace kf::app
