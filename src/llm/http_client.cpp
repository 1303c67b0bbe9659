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

// Header lines of one answer are few and short; this bounds the map they are kept in.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

// Why the client stopped a transfer itself (a callback answered a short count).
enum class Stop { None, BodyTooLarge, HeadersTooLarge, Encoding };

// What the callbacks of one transfer share.
struct Transfer {
    HttpResponse* response;
    std::size_t max_body;
    std::size_t header_bytes = 0;
    Stop stop = Stop::None;
    std::string encoding; // the refused content encoding
};

// libcurl hands the body over after content decoding, a block of at most CURL_MAX_WRITE_SIZE
// at a time, so the cap holds however far a compressed answer would inflate.
size_t collect_body(char* data, size_t size, size_t count, void* target) {
    auto* t = static_cast<Transfer*>(target);
    const size_t n = size * count;
    if (n > t->max_body - t->response->body.size()) {
        t->stop = Stop::BodyTooLarge;
        return 0; // a short count aborts the transfer
    }
    t->response->body.append(data, n);
    return n;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    const auto last = s.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// The first coding of a Content-Encoding list that is not one we asked for, or "".
// libcurl decodes every coding it was built with, whatever Accept-Encoding said.
std::string refused_coding(const std::string& value) {
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(',', start);
        if (end == std::string::npos) {
            end = value.size();
        }
        const std::string coding = lower(trim(value.substr(start, end - start)));
        if (!coding.empty() && coding != "gzip" && coding != "x-gzip" && coding != "deflate" &&
            coding != "identity") {
            return coding;
        }
        start = end + 1;
    }
    return "";
}

size_t collect_header(char* data, size_t size, size_t count, void* target) {
    auto* t = static_cast<Transfer*>(target);
    const size_t n = size * count;
    t->header_bytes += n;
    if (t->header_bytes > kMaxHeaderBytes) {
        t->stop = Stop::HeadersTooLarge;
        return 0;
    }
    const std::string line(data, n);
    const auto colon = line.find(':');
    if (colon == std::string::npos) {
        return n;
    }
    const std::string name = lower(line.substr(0, colon));
    const std::string value = trim(line.substr(colon + 1));
    if (name == "content-encoding") {
        t->encoding = refused_coding(value);
        if (!t->encoding.empty()) {
            t->stop = Stop::Encoding;
            return 0;
        }
    }
    t->response->headers[name] = value;
    return n;
}

[[noreturn]] void stopped(const Transfer& t, long status) {
    const std::string http = "HTTP " + std::to_string(status);
    switch (t.stop) {
    case Stop::BodyTooLarge:
        throw ResponseTooLargeError("the answer (" + http + ") is over the limit of " +
                                        std::to_string(t.max_body) +
                                        " bytes once decoded; the transfer was stopped there",
                                    status, t.max_body);
    case Stop::HeadersTooLarge:
        throw ResponseTooLargeError("the answer's header lines (" + http +
                                        ") are over the limit of " +
                                        std::to_string(kMaxHeaderBytes) + " bytes",
                                    status, kMaxHeaderBytes);
    case Stop::Encoding:
        throw ModelError("the answer (" + http + ") is in the content encoding '" + t.encoding +
                             "', which was not asked for (gzip, deflate or none)",
                         status);
    case Stop::None:
        break;
    }
    throw ModelError("the transfer was stopped", status);
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

HttpClient::HttpClient() : HttpClient(HttpClientOptions{}) {}

HttpClient::HttpClient(HttpClientOptions options)
    : options_(options), pool_(std::make_unique<Pool>()) {
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
    Transfer transfer{&response, options_.max_body_bytes};
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
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, collect_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    // Long answers are worth compressing; other codings would only widen what must be trusted.
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    if (method == "POST") {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    } else if (method != "GET") {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    const CURLcode rc = curl_easy_perform(h);
    curl_slist_free_all(list);
    if (transfer.stop != Stop::None) {
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
        curl_easy_cleanup(h); // the connection is mid-answer: not reusable
        stopped(transfer, response.status);
    }
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
