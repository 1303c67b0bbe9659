#pragma once

#include "serve/http_listener.hpp"
#include "zolviai/agent/memory.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <cstddef>

// The memory of verified SQL over HTTP, behind the server's token like every /v1 route:
//   POST   /v1/memory        {"question", "sql", "by"?}  certifies (the SQL runs first)
//   GET    /v1/memory?query= the database's entries, by similarity when a query is given
//   DELETE /v1/memory/{id}   removes an entry
namespace zolviai::serve {

// Answers one request of those routes; memory null: 503 (the server keeps no memory).
HttpResponse memory_response(agent::Memory* memory, const sql::CustomSQLDatabase& db,
                             const HttpRequest& request, std::size_t max_body_bytes);

} // namespace zolviai::serve
