#pragma once

#include "zolviai/core/value.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace zolviai::llm {

// One chat message. role is "system", "user", "assistant" or "tool".
struct Message {
    std::string role;
    std::string content;
};

// What a chat-completion call gave back.
struct ChatResult {
    std::string content;       // choices[0].message.content ("" when absent)
    Value tool_calls;          // choices[0].message.tool_calls as sent (null when absent)
    std::string finish_reason; // "stop", "length", "tool_calls", "content_filter"
    std::string model;         // the model the service says answered
    long prompt_tokens = 0;
    long completion_tokens = 0;
    long total_tokens = 0;
};

// Extra request fields for one call (tools, tool_choice, response_format, ...); they are
// merged into the request body as given.
struct CallOptions {
    Value body_extra = Value::object();
};

// A configured client of a chat-completion service. Thread-safe: one model may be used
// from many threads at once.
class ChatModel {
public:
    virtual ~ChatModel() = default;

    virtual ChatResult invoke(const std::vector<Message>& messages,
                              const CallOptions& options = {}) const = 0;

    // A plain text is one user message.
    ChatResult invoke(std::string_view text) const {
        return invoke(std::vector<Message>{{"user", std::string(text)}});
    }
};

} // namespace zolviai::llm
