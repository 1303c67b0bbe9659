#pragma once

#include "zolviai/core/value.hpp"

#include <string>
#include <sys/types.h>

namespace zolviai::testing {

// The scripted chat-completions server (tests/support/chat_server.py) as a child process on
// a free loopback port, for the lifetime of this object.
class ScriptedChatServer {
public:
    ScriptedChatServer();
    ~ScriptedChatServer();
    ScriptedChatServer(const ScriptedChatServer&) = delete;
    ScriptedChatServer& operator=(const ScriptedChatServer&) = delete;

    const std::string& url() const { return url_; } // http://127.0.0.1:PORT

    void queue(const Value& answers); // appends answers used once each
    void rules(const Value& rules);   // adds reusable matched answers
    void service(const Value& data);  // {"deployments": [...], "openai": {...}}
    Value requests() const;           // the request log
    void reset();

private:
    Value control(const std::string& method, const std::string& path, const Value& body) const;
    pid_t pid_ = -1;
    std::string url_;
};

} // namespace zolviai::testing
