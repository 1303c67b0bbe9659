#include "zolviai/flow/context.hpp"

#include "zolviai/core/error.hpp"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zolviai::flow {

Value read_values() {
    Value out = {{"context_prompt", ""}, {"custom_instructions", ""}};
    const char* path = std::getenv("ZOLVI_CONTEXT_FILE");
    if (path == nullptr || *path == '\0') {
        return out;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError(std::string("cannot read the answer context file '") + path +
                          "' (ZOLVI_CONTEXT_FILE)");
    }
    std::ostringstream text;
    text << in.rdbuf();
    Value stored;
    try {
        stored = Value::parse(text.str());
    } catch (const Value::parse_error& e) {
        throw ConfigError(std::string("the answer context file '") + path +
                          "' (ZOLVI_CONTEXT_FILE) is not valid JSON: " + e.what());
    }
    if (!stored.is_object()) {
        throw ConfigError(std::string("the answer context file '") + path +
                          "' (ZOLVI_CONTEXT_FILE) must hold a JSON object with "
                          "\"context_prompt\" and \"custom_instructions\"");
    }
    for (const char* key : {"context_prompt", "custom_instructions"}) {
        const auto it = stored.find(key);
        if (it == stored.end() || it->is_null()) {
            continue;
        }
        if (!it->is_string()) {
            throw ConfigError(std::string("the answer context file '") + path + "': \"" + key +
                              "\" must be a text, not " + python_type_name(*it));
        }
        out[key] = *it;
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
