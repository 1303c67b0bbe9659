#include "zolviai/flow/context.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/core/json_input.hpp"

#include <cctype>
#include <cstdlib>
#include <fstream>

namespace zolviai::flow {

Value read_values() {
    Value out = {{"context_prompt", ""}, {"custom_instructions", ""}};
    const std::string configured = settings()->get("ZOLVI_CONTEXT_FILE", "");
    if (configured.empty()) {
        return out;
    }
    const char* path = configured.c_str();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError(std::string("cannot read the answer context file '") + path +
                          "' (ZOLVI_CONTEXT_FILE)");
    }
    // Read no further than the limit: the path may name something endless, such as a device.
    std::string text(kContextFileMaxBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kContextFileMaxBytes) {
        throw ConfigError(std::string("the answer context file '") + path +
                          "' (ZOLVI_CONTEXT_FILE) is over the limit of " +
                          std::to_string(kContextFileMaxBytes) + " bytes");
    }
    Value stored;
    try {
        stored = parse_json_input(text, {JsonLimits{}.max_depth, kContextFileMaxBytes});
    } catch (const JsonInputError& e) {
        const char* fault = e.reason() == JsonInputError::Reason::Malformed
                                ? "' (ZOLVI_CONTEXT_FILE) is not valid JSON: "
                                : "' (ZOLVI_CONTEXT_FILE) was refused: ";
        throw ConfigError(std::string("the answer context file '") + path + fault + e.what());
    }
    if (!stored.is_object()) {
        throw ConfigError(std::string("the answer context file '") + path +
                          "' (ZOLVI_CONTEXT_FILE) must hold a JSON object with "
                          "\"context_prompt\" and \"custom_instructions\"");
    }
    for (const char* key : {"context_prompt", "custom_instructions"}) {
        const Value* text_value = find_member(stored, key);
        if (text_value == nullptr || text_value->is_null()) {
            continue;
        }
        if (!text_value->is_string()) {
            throw ConfigError(std::string("the answer context file '") + path + "': \"" + key +
                              "\" must be a text, not " + python_type_name(*text_value));
        }
        out[key] = *text_value;
    }
    return out;
}

std::string context_prompt() {
    return read_values()["context_prompt"].get<std::string>();
}

std::string custom_instructions() {
    return read_values()["custom_instructions"].get<std::string>();
}

bool check_instructions(const std::string& instructions) {
    for (char c : instructions) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            return true;
        }
    }
    return false;
}

} // namespace zolviai::flow
