#include "serve/conversation_routes.hpp"

#include "serve/question.hpp"
#include "zolviai/agent/conversation.hpp"

#include <spdlog/spdlog.h>

namespace zolviai::serve {

namespace {
constexpr std::string_view kPrefix = "/v1/conversations/";
}

std::pair<int, std::string> conversation_failure(const std::exception& e) {
    if (dynamic_cast<const state::ConversationNotFound*>(&e))
        return {404, "conversation_not_found"};
    if (dynamic_cast<const state::ConversationFull*>(&e))
        return {409, "conversation_full"};
    if (dynamic_cast<const state::StateError*>(&e))
        return {503, "state_unavailable"};
    return {0, ""};
}

RouteAnswer conversation_request(state::ConversationStore* store, const std::string& method,
                                 const std::string& path) {
    const std::string id = path.substr(std::min(path.size(), kPrefix.size()));
    if (!store || !state::ConversationStore::valid_id(id))
        return {404, error_body("conversation_not_found", "there is no such conversation")};
    try {
        if (method == "DELETE") {
            if (!store->remove(id))
                return {404, error_body("conversation_not_found", "there is no such conversation")};
            return {204, nullptr};
        }
        const auto info = store->find(id);
        if (!info)
            return {404, error_body("conversation_not_found", "there is no such conversation")};
        return {200, agent::conversation_json(*info, store->turns(id))};
    } catch (const state::ConversationNotFound&) {
        return {404, error_body("conversation_not_found", "there is no such conversation")};
    } catch (const state::StateError& e) {
        spdlog::error("serve: the state database failed: {}", e.what());
        return {503, error_body("state_unavailable", "the conversation store is unavailable")};
    }
}

} // namespace zolviai::serve
