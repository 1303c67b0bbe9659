#pragma once

#include "zolviai/core/error.hpp"

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zolviai::llm {

struct HttpResponse {
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers; // names in lower case
};

struct HttpClientOptions {
    // The most bytes of a response body the client keeps, counted after content decoding, so
    // that a small compressed answer cannot inflate past it. A longer body stops the transfer.
    std::size_t max_body_bytes = 16 * 1024 * 1024;
};

// An answer longer than the client takes (HttpClientOptions::max_body_bytes, or the bound on
// header lines). Not a transport failure: asking again would only fetch it again.
class ResponseTooLargeError : public ModelError {
public:
    ResponseTooLargeError(const std::string& message, long status, std::size_t limit)
        : ModelError(message, status), limit_(limit) {}
    std::size_t limit() const { return limit_; }

private:
    std::size_t limit_;
};

// A small libcurl client that keeps connections alive across calls: each call borrows an
// idle handle (or makes one), so one client serves many threads at once. It asks for gzip or
// deflate and refuses answers in any other content encoding.
class HttpClient {
public:
    HttpClient();
    explicit HttpClient(HttpClientOptions options);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends one request. headers are "Name: value" lines. Transport failures (no connection,
    // time-out) raise TransportError; an answer over the limits raises ResponseTooLargeError,
    // one in an encoding we did not ask for ModelError; any HTTP status is returned as it came.
    HttpResponse request(const std::string& method, const std::string& url,
                         const std::vector<std::string>& headers, const std::string& body,
                         std::chrono::milliseconds timeout) const;

    const HttpClientOptions& options() const { return options_; }

private:
    struct Pool;
    HttpClientOptions options_;
    std::unique_ptr<Pool> pool_;
};

} // namespace zolviai::llm
