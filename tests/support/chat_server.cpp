#include "chat_server.hpp"

#include <csignal>
#include <cstdio>
#include <curl/curl.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef ZOLVIAI_SOURCE_DIR
#error "ZOLVIAI_SOURCE_DIR must name the source tree"
#endif

namespace zolviai::testing {
namespace {

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

} // namespace

ScriptedChatServer::ScriptedChatServer() {
    int out[2];
    if (::pipe(out) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        // The server goes with the test program, even when the program dies without cleanup.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        const std::string script =
            std::string(ZOLVIAI_SOURCE_DIR) + "/tests/support/chat_server.py";
        ::execl("/usr/bin/python3", "python3", script.c_str(), "--port", "0", nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    std::string port;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') {
        port.push_back(c);
    }
    ::close(out[0]);
    if (port.empty()) {
        throw std::runtime_error("the scripted chat server did not start");
    }
    url_ = "http://127.0.0.1:" + port;
}

ScriptedChatServer::~ScriptedChatServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

Value ScriptedChatServer::control(const std::string& method, const std::string& path,
                                  const Value& body) const {
    CURL* h = curl_easy_init();
    std::string response;
    const std::string payload = body.is_null() ? "" : body.dump();
    const std::string target = url_ + path;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 10L);
    if (method == "POST") {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload.c_str());
    }
    const CURLcode rc = curl_easy_perform(h);
    curl_slist_free_all(headers);
    curl_easy_cleanup(h);
    if (rc != CURLE_OK) {
        throw std::runtime_error("scripted chat server control call failed: " + path);
    }
    return Value::parse(response);
}

void ScriptedChatServer::queue(const Value& answers) {
    control("POST", "/_script", {{"queue", answers}});
}
void ScriptedChatServer::rules(const Value& r) {
    control("POST", "/_script", {{"rules", r}});
}
void ScriptedChatServer::service(const Value& data) {
    control("POST", "/_service", data);
}
Value ScriptedChatServer::requests() const {
    return control("GET", "/_requests", nullptr);
}
void ScriptedChatServer::reset() {
    control("POST", "/_reset", nullptr);
}

} // namespace zolviai::testing
