#pragma once

#include <string_view>
#include <vector>

namespace zolviai::serve {

// A file compiled into the server: the web page's files and the API's OpenAPI document.
struct WebAsset {
    std::string_view path;         // "/", "/app.js", ...
    std::string_view content_type; // with its charset for text
    std::string_view body;
};

// Generated at configure time from src/serve/web/ and docs/openapi.json.
const std::vector<WebAsset>& web_assets();

} // namespace zolviai::serve
