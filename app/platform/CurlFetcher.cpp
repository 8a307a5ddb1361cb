#include "app/platform/CurlFetcher.h"

#include <curl/curl.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

namespace kf::app {

namespace {

struct Body {
    std::string bytes;
    bool too_large = false;
};

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
    Body& body = *static_cast<Body*>(user);
    const size_t length = size * count;
    if (body.bytes.size() + length > CurlFetcher::kMaxBody) {
        body.too_large = true;
        return 0;  // ends the transfer with a write error
    }
    body.bytes.append(data, length);
    return length;
}

bool ReadText(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    *text = bytes.str();
    return static_cast<bool>(in);
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

CurlFetcher::CurlFetcher(const std::string& ca_certificate) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_ALL); });
    if (ca_certificate.empty()) {
        return;
    }
    std::string product_ca;
    if (!ReadText(ca_certificate, &product_ca) || product_ca.empty()) {
        ca_error_ = "cannot read the certificate authority " + ca_certificate;
        return;
    }
    // CURLOPT_CAINFO would replace the system's list; the bundle keeps both.
    const std::unique_ptr<CURL, EasyDeleter> probe(curl_easy_init());
    char* system_bundle = nullptr;
    if (probe != nullptr &&
        curl_easy_getinfo(probe.get(), CURLINFO_CAINFO, &system_bundle) == CURLE_OK &&
        system_bundle != nullptr) {
        ReadText(system_bundle, &ca_bundle_);
        ca_bundle_ += "\n";
    }
    ca_bundle_ += product_ca;
}

Fetcher::Result CurlFetcher::Get(const std::string& url, int timeout_seconds) {
    Result result;
    const auto fail = [&](const std::string& cause) {
        result.ok = false;
        result.body.clear();
        result.error = "Failed to get " + url + " [" + cause + "]";
        return result;
    };
    if (!ca_error_.empty()) {
        return fail(ca_error_);
    }
    const std::unique_ptr<CURL, EasyDeleter> owner(curl_easy_init());
    CURL* handle = owner.get();
    if (handle == nullptr) {
        std::fputs("Failed to create CURL connection\n", stderr);
        return fail("Failed to create CURL connection");
    }
    char error_text[CURL_ERROR_SIZE] = {};
    const CURLcode buffer_set = curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text);
    if (buffer_set != CURLE_OK) {
        std::fprintf(stderr, "Failed to set error buffer [%d]\n", static_cast<int>(buffer_set));
        return fail(curl_easy_strerror(buffer_set));
    }

    Body body;
    const bool secure = url.starts_with("https://");
    const long connect_seconds = timeout_seconds > 0 && timeout_seconds < kConnectSeconds
                                     ? timeout_seconds
                                     : kConnectSeconds;
    curl_blob ca_blob{ca_bundle_.data(), ca_bundle_.size(), CURL_BLOB_NOCOPY};
    // Every option in order, each with the console text that names it when it is refused.
    const std::pair<CURLcode, const char*> options[] = {
        {curl_easy_setopt(handle, CURLOPT_URL, url.c_str()), "Failed to set URL [%s]\n"},
        {curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L),
         "Failed to set redirect option [%s]\n"},
        {curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, AppendBody),
         "Failed to set writer [%s]\n"},
        {curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body), "Failed to set write data [%s]\n"},
        {curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L),
         "Failed to set CURLOPT_SSL_VERIFYPEER  [%s]\n"},
        {curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L),
         "Failed to set CURLOPT_SSL_VERIFYHOST [%s]\n"},
        {ca_bundle_.empty() ? CURLE_OK : curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &ca_blob),
         "Connection initializion failed\n"},
        {curl_easy_setopt(handle, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects)),
         "Connection initializion failed\n"},
        {curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https"),
         "Connection initializion failed\n"},
        {curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https"),
         "Connection initializion failed\n"},
        {curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L), "Connection initializion failed\n"},
        {curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connect_seconds),
         "Connection initializion failed\n"},
        {curl_easy_setopt(handle, CURLOPT_TIMEOUT,
                          timeout_seconds > 0 ? long{timeout_seconds} : 0L),
         "Connection initializion failed\n"},
        {curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, curl_off_t{kMaxBody}),
         "Connection initializion failed\n"},
    };
    for (const auto& [code, console_text] : options) {
        if (code != CURLE_OK) {
            std::fprintf(stderr, console_text, curl_easy_strerror(code));
            return fail(curl_easy_strerror(code));
        }
    }

    const CURLcode done = curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.status);
    if (body.too_large || done == CURLE_FILESIZE_EXCEEDED) {
        return fail("the body is larger than " + std::to_string(kMaxBody) + " bytes");
    }
    if (done != CURLE_OK) {
        const std::string cause = error_text[0] != '\0' ? error_text : curl_easy_strerror(done);
        std::fprintf(stderr, "Failed to get '%s' [%s]\n", url.c_str(), cause.c_str());
        return fail(cause);
    }
    if (result.status >= 400 && result.status <= 599) {
        return fail("HTTP status " + std::to_string(result.status));
    }
    result.ok = true;
    result.body = std::move(body.bytes);
    return result;
}

}  // namespace kf::app
