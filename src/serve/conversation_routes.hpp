#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/state/conversations.hpp"

#include <string>

// GET and DELETE /v1/conversations/{id}, and what a stored conversation's failures become.
namespace zolviai::serve {

struct RouteAnswer {
    int status = 200;
    Value body;
};

// The conversation's turns (GET) or its removal (DELETE, 204 with no body); 404 when there is
// no such conversation, 503 when the state database fails. store null: 404 for every id
// (the server keeps no conversations).
RouteAnswer conversation_request(state::ConversationStore* store, const std::string& method,
                                 const std::string& path);

// The status and error code of a conversation's failure ("" when `e` is not one): 404
// conversation_not_found, 409 conversation_full, 503 state_unavailable.
std::pair<int, std::string> conversation_failure(const std::exception& e);

} // namespace zolviai::serve
