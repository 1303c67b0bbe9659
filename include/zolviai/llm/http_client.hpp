#pragma once

#include <chrono>
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

// A small libcurl client that keeps connections alive across calls: each call borrows an
// idle handle (or makes one), so one client serves many threads at once.
class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends one request. headers are "Name: value" lines. Transport failures (no connection,
    // time-out) raise TransportError; any HTTP status is returned as it came.
    HttpResponse request(const std::string& method, const std::string& url,
                         const std::vector<std::string>& headers, const std::string& body,
                         std::chrono::milliseconds timeout) const;

private:
    struct Pool;
    std::unique_ptr<Pool> pool_;
};

} // namespace zolviai::llm
