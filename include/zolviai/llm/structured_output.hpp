#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/llm/chat_model.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zolviai::llm {

enum class FieldType { Text, OptionalText, TextList, Boolean };

struct RecordField {
    std::string name;
    FieldType type = FieldType::Text;
    std::string description;
    std::optional<Value> default_value; // none: the field is required
};

// A record with described fields that a model fills in, such as SQLQueryInput.
struct RecordSchema {
    std::string name;
    std::string description;
    std::vector<RecordField> fields;

    // The JSON schema the model sees: type object, properties with type and description,
    // required = the fields without a default.
    Value json_schema() const;
    // Checks a parsed answer against the fields and fills defaults. A missing or mistyped
    // field is an OutputParsingError naming the field and quoting the answer.
    Value validate(const Value& answer, std::string_view raw_answer) const;
};

enum class StructuredMethod {
    FunctionCalling, // the schema as a forced tool; the arguments are the record
    JsonSchema,      // response_format json_schema; the content is the record
};

// A chat model bound to a record schema: invoke gives the validated record as a map.
class StructuredModel {
public:
    StructuredModel(std::shared_ptr<const ChatModel> model, RecordSchema schema,
                    StructuredMethod method = StructuredMethod::FunctionCalling);

    Value invoke(const std::vector<Message>& messages) const;
    // A plain text is one user message.
    Value invoke(std::string_view text) const;

    const RecordSchema& schema() const { return schema_; }
    const std::shared_ptr<const ChatModel>& model() const { return model_; }

private:
    std::shared_ptr<const ChatModel> model_;
    RecordSchema schema_;
    StructuredMethod method_;
    CallOptions options_;
};

std::shared_ptr<StructuredModel>
with_structured_output(std::shared_ptr<const ChatModel> model, RecordSchema schema,
                       StructuredMethod method = StructuredMethod::FunctionCalling);

} // namespace zolviai::llm
