#include "telemetry/HttpPoster.h"

#include <curl/curl.h>
#include <strings.h>

#include <memory>
#include <mutex>

namespace kf {
namespace {

size_t Collect(char* data, size_t size, size_t count, void* context) {
    auto* response = static_cast<std::string*>(context);
    const size_t bytes = size * count;
    const size_t room = HttpPoster::kMaxResponseBytes - response->size();
    response->append(data, std::min(bytes, room));
    // Answering less than given ends a response that outgrows the cap.
    return bytes <= room ? bytes : 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// The host part of an http:// URL: after the scheme, before the port, path, query or fragment.
std::string_view HostOf(std::string_view rest) {
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const size_t at = rest.rfind('@'); at != std::string_view::npos) {
        rest.remove_prefix(at + 1);
    }
    if (!rest.empty() && rest[0] == '[') {
        return rest.substr(0, rest.find(']') + 1);
    }
    return rest.substr(0, rest.find(':'));
}

bool IsLoopbackHost(std::string_view host) {
    if (host == "[::1]" || (host.size() == 9 && strncasecmp(host.data(), "localhost", 9) == 0)) {
        return true;
    }
    if (!host.starts_with("127.")) {
        return false;
    }
    int dots = 0;
    for (const char c : host) {
        if (c == '.') {
            ++dots;
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    return dots == 3;
}

}  // namespace

bool HttpPoster::Allowed(std::string_view url) {
    if (StartsWithNoCase(url, "https://")) {
        return url.size() > 8;
    }
    if (StartsWithNoCase(url, "http://")) {
        return IsLoopbackHost(HostOf(url.substr(7)));
    }
    return false;
}

bool HttpPoster::PostToFirstAccepting(const std::vector<std::string>& urls, std::string_view body) {
    for (const std::string& url : urls) {
        if (!url.empty() && PostOne(url, body)) {
            return true;
        }
    }
    return false;
}

bool HttpPoster::PostOne(const std::string& url, std::string_view body) {
    if (!Allowed(url)) {
        return false;
    }
    static std::once_flag global_init;
    std::call_once(global_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    const std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        return false;
    }
    std::string response;
    char error[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(handle, CURLOPT_POSTREDIR, CURL_REDIR_POST_ALL);
    // A proxy from the environment never stands between a loopback post and its collector.
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "127.0.0.0/8,localhost,::1");
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::chrono::milliseconds(kConnectTimeout).count()));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(std::chrono::milliseconds(kTotalTimeout).count()));
    // No "Expect: 100-continue" round trip: the body is small and the service answers at once.
    const std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(
        curl_slist_append(nullptr, "Expect:"), curl_slist_free_all);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    if (curl_easy_perform(handle) != CURLE_OK) {
        return false;
    }
    return response.find("\"error\":0") != std::string::npos;
}

}  // namespace kf
