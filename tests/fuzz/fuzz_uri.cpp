// Database URIs come from configuration a host may take from its users.
#include "zolviai/core/error.hpp"
#include "zolviai/sql/uri.hpp"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const zolviai::sql::DatabaseUri uri = zolviai::sql::parse_database_uri(text);
        (void)zolviai::sql::redact_database_uri(text);
        (void)zolviai::sql::build_database_uri(uri.scheme, uri.user, uri.password, uri.host,
                                               std::to_string(uri.port), uri.database);
    } catch (const zolviai::Error&) {
    }
    return 0;
}
