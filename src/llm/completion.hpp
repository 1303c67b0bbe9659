#pragma once

#include "zolviai/llm/chat_model.hpp"
#include "zolviai/llm/http_client.hpp"

#include <cstddef>
#include <string>

namespace zolviai::llm {

// Reads a chat-completion answer: only choices[0].message must be there; every other part a
// service may leave out or send in another shape. The body is outside input, read within the
// limits of core/json_input (max_bytes, and the default depth). model_field names the model
// when the answer does not; secret is masked out of error texts.
ChatResult read_completion(const HttpResponse& r, const std::string& model_field,
                           std::size_t max_bytes, const std::string& secret);

} // namespace zolviai::llm
