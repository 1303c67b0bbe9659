// Both prompt template engines: any template text, rendered with a few values of each kind.
// The first byte picks the engine.
#include "zolviai/core/error.hpp"
#include "zolviai/prompts/brace_template.hpp"
#include "zolviai/prompts/jinja_template.hpp"

#include <cstdint>
#include <string_view>

namespace {

const zolviai::Value& variables() {
    static const zolviai::Value vars = {
        {"name", "Ada"},         {"n", 3},           {"x", 1.5},
        {"items", {1, "b", nullptr}}, {"pairs", {{"a", 1}, {"b", 2}}},
        {"nested", {{"k", {{"deep", "v"}}}}}, {"empty", ""}};
    return vars;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        if (data[0] & 1) {
            (void)zolviai::prompts::format_braces(text, variables());
        } else {
            (void)zolviai::prompts::render_jinja(text, variables());
        }
    } catch (const zolviai::Error&) {
    }
    return 0;
}
