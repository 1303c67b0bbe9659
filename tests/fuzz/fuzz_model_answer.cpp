// A chat-completions answer as any endpoint might send it (a misbehaving proxy, a compromised
// gateway, a buggy local server): read as the client reads it, then as a structured record in
// both ways the flow asks for one. The same bytes also go through the outside-JSON reader.
#include "llm/completion.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/llm/structured_output.hpp"

#include <cstdint>
#include <memory>
#include <string>

using namespace zolviai;
using namespace zolviai::llm;

namespace {

// A model that answers with what the endpoint sent.
class CannedModel : public ChatModel {
public:
    explicit CannedModel(ChatResult result) : result_(std::move(result)) {}
    ChatResult invoke(const std::vector<Message>&, const CallOptions&) const override {
        return result_;
    }

private:
    ChatResult result_;
};

const RecordSchema& schema() {
    static const RecordSchema s = [] {
        RecordSchema r;
        r.name = "SQLQueryInput";
        r.description = "A query";
        r.fields = {{"sql_query", FieldType::Text, "The query", std::nullopt},
                    {"tables", FieldType::TextList, "Tables", std::nullopt},
                    {"note", FieldType::OptionalText, "A note", Value(nullptr)}};
        return r;
    }();
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HttpResponse response;
    response.status = 200;
    response.body.assign(reinterpret_cast<const char*>(data), size);
    try {
        (void)parse_json_input(response.body);
    } catch (const Error&) {
    }
    try {
        ChatResult result = read_completion(response, "model", 1 << 20, "secret-key");
        auto model = std::make_shared<CannedModel>(std::move(result));
        for (StructuredMethod method :
             {StructuredMethod::FunctionCalling, StructuredMethod::JsonSchema}) {
            try {
                (void)with_structured_output(model, schema(), method)->invoke("question");
            } catch (const Error&) {
            }
        }
    } catch (const Error&) {
    }
    return 0;
}
