#include "zolviai/llm/http_client.hpp"

#include "transport_error.hpp"
#include "zolviai/core/error.hpp"

#include <algorithm>
#include <cctype>
#include <curl/curl.h>
#include <mutex>

namespace zolviai::llm {
namespace {

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t collect_body(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

size_t collect_header(char* data, size_t size, size_t count, void* target) {
    const std::string line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = line.substr(colon + 1);
        const auto first = value.find_first_not_of(" \t");
        const auto last = value.find_last_not_of(" \t\r\n");
        value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
        (*static_cast<std::map<std::string, std::string>*>(target))[name] = value;
    }
    return size * count;
}

} // namespace

struct HttpClient::Pool {
    std::mutex mutex;
    std::vector<CURL*> idle;
    ~Pool() {
        for (CURL* h : idle) {
            curl_easy_cleanup(h);
        }
    }
};

HttpClient::HttpClient() : pool_(std::make_unique<Pool>()) {
    global_init();
}

HttpClient::~HttpClient() = default;

HttpResponse HttpClient::request(const std::string& method, const std::string& url,
                                 const std::vector<std::string>& headers, const std::string& body,
                                 std::chrono::milliseconds timeout) const {
    CURL* h = nullptr;
    {
        std::lock_guard lock(pool_->mutex);
        if (!pool_->idle.empty()) {
            h = pool_->idle.back();
            pool_->idle.pop_back();
        }
    }
    if (h == nullptr) {
        h = curl_easy_init();
        if (h == nullptr) {
            throw TransportError("cannot create an HTTP handle");
        }
    } else {
        curl_easy_reset(h); // keeps the connection cache
    }
    HttpResponse response;
    curl_slist* list = nullptr;
    for (const auto& header : headers) {
        list = curl_slist_append(list, header.c_str());
    }
    char error[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::min<long long>(timeout.count(), 10000)));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, collect_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &response.headers);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    if (method == "POST") {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    } else if (method != "GET") {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    const CURLcode rc = curl_easy_perform(h);
    curl_slist_free_all(list);
    if (rc != CURLE_OK) {
        curl_easy_cleanup(h);
        const std::string what = error[0] ? error : curl_easy_strerror(rc);
        throw TransportError(what, rc == CURLE_OPERATION_TIMEDOUT);
    }
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
    {
        std::lock_guard lock(pool_->mutex);
        pool_->idle.push_back(h);
    }
    return response;
}

} // namespace zolviai::llm
