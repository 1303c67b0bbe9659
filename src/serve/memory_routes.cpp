#include "serve/memory_routes.hpp"

#include "serve/question.hpp"
#include "zolviai/agent/error_table.hpp"
#include "zolviai/core/json_input.hpp"

#include <charconv>

namespace zolviai::serve {
namespace {

HttpResponse reply(int status, const Value& body) {
    HttpResponse res;
    res.status = status;
    res.body = body.dump(-1, ' ', false, Value::error_handler_t::replace);
    res.headers.emplace_back("Content-Type", "application/json");
    return res;
}

HttpResponse refuse(int status, const std::string& code, const std::string& message) {
    return reply(status, error_body(code, message));
}

Value entries_json(const std::vector<agent::MemoryEntry>& entries) {
    Value list = Value::array();
    for (const auto& e : entries) {
        list.push_back(agent::entry_json(e));
    }
    return {{"entries", std::move(list)}};
}

HttpResponse add(agent::Memory& memory, const sql::CustomSQLDatabase& db, const HttpRequest& req,
                 std::size_t max_body_bytes) {
    JsonLimits limits;
    limits.max_bytes = max_body_bytes;
    limits.max_depth = 8;
    Value body;
    try {
        body = parse_json_input(req.body, limits);
    } catch (const JsonInputError& e) {
        return refuse(400, "invalid_json",
                      std::string("the request body is not JSON: ") + e.what());
    }
    auto text = [&](const char* name) -> std::string {
        const auto it = body.is_object() ? body.find(name) : body.end();
        return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    const std::string question = text("question");
    const std::string sql = text("sql");
    if (question.empty() || sql.empty()) {
        return refuse(400, "invalid_request",
                      "the body needs \"question\" and \"sql\", both non-empty text");
    }
    const std::string source = text("source") == "page" ? "page" : "api";
    try {
        return reply(201, agent::entry_json(memory.add(db, question, sql, source, text("by"))));
    } catch (const DatabaseError& e) {
        // The statement is the client's: what keeps it from running is a bad request.
        const agent::ErrorFace& face = agent::error_face(e);
        return face.kind == ErrorKind::Database || face.kind == ErrorKind::StatementRefused
                   ? refuse(400, "sql_error", e.what())
                   : refuse(face.http_status, face.http_code, e.what());
    }
}

} // namespace

HttpResponse memory_response(agent::Memory* memory, const sql::CustomSQLDatabase& db,
                             const HttpRequest& req, std::size_t max_body_bytes) {
    if (memory == nullptr) {
        return refuse(503, "memory_unavailable",
                      "this server keeps no memory of verified SQL (start it with --state-db)");
    }
    try {
        if (req.method == "POST") {
            return add(*memory, db, req, max_body_bytes);
        }
        if (req.method == "DELETE") {
            const std::string id = req.path.substr(std::string("/v1/memory/").size());
            std::int64_t number = 0;
            const auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), number);
            if (ec != std::errc() || end != id.data() + id.size() || number <= 0) {
                return refuse(400, "invalid_request", "a memory entry's id is a positive number");
            }
            if (!memory->remove(number)) {
                return refuse(404, "not_found", "there is no memory entry " + id);
            }
            return reply(200, {{"removed", number}});
        }
        const auto query = req.param("query");
        if (query && !query->empty()) {
            return reply(200, entries_json(memory->search(db.identity(), *query, 20)));
        }
        return reply(200, entries_json(memory->list(db.identity(), 200)));
    } catch (const state::StateError& e) {
        return refuse(503, "memory_unavailable", e.what());
    }
}

} // namespace zolviai::serve
