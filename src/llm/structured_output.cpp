#include "zolviai/llm/structured_output.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"

namespace zolviai::llm {
namespace {

std::string excerpt(std::string_view text) {
    constexpr std::size_t kMax = 200;
    std::string out(text.substr(0, kMax));
    if (text.size() > kMax) {
        out += "...";
    }
    return "'" + out + "'";
}

const char* type_words(FieldType t) {
    switch (t) {
    case FieldType::Text:
        return "text";
    case FieldType::OptionalText:
        return "text or null";
    case FieldType::TextList:
        return "a list of text";
    case FieldType::Boolean:
        return "true or false";
    }
    return "";
}

bool fits(FieldType t, const Value& v) {
    switch (t) {
    case FieldType::Text:
        return v.is_string();
    case FieldType::OptionalText:
        return v.is_string() || v.is_null();
    case FieldType::TextList:
        if (!v.is_array()) {
            return false;
        }
        for (const auto& item : v) {
            if (!item.is_string()) {
                return false;
            }
        }
        return true;
    case FieldType::Boolean:
        return v.is_boolean();
    }
    return false;
}

// The first tool call of the answer to the function `name`, or nullptr. Calls of another
// shape than {"function": {"name": ...}} are passed over.
const Value* called_tool(const Value& tool_calls, const std::string& name) {
    if (!tool_calls.is_array()) {
        return nullptr;
    }
    for (const auto& call : tool_calls) {
        if (string_member(find_member(call, "function"), "name") == name) {
            return &call;
        }
    }
    return nullptr;
}

} // namespace

Value RecordSchema::json_schema() const {
    Value properties = Value::object();
    Value required = Value::array();
    for (const auto& f : fields) {
        Value p = Value::object();
        switch (f.type) {
        case FieldType::Text:
            p["type"] = "string";
            break;
        case FieldType::OptionalText:
            p["anyOf"] = Value::array({{{"type", "string"}}, {{"type", "null"}}});
            break;
        case FieldType::TextList:
            p["type"] = "array";
            p["items"] = {{"type", "string"}};
            break;
        case FieldType::Boolean:
            p["type"] = "boolean";
            break;
        }
        p["description"] = f.description;
        if (f.default_value) {
            p["default"] = *f.default_value;
        } else {
            required.push_back(f.name);
        }
        properties[f.name] = std::move(p);
    }
    return {{"type", "object"}, {"properties", properties}, {"required", required}};
}

Value RecordSchema::validate(const Value& answer, std::string_view raw) const {
    if (!answer.is_object()) {
        throw ModelAnswerInvalid("the model's answer for " + name +
                                 " is not a JSON object: " + excerpt(raw));
    }
    Value record = Value::object();
    for (const auto& f : fields) {
        const auto it = answer.find(f.name);
        if (it == answer.end()) {
            if (!f.default_value) {
                throw ModelAnswerInvalid("the model's answer for " + name + " lacks the field '" +
                                         f.name + "': " + excerpt(raw));
            }
            record[f.name] = *f.default_value;
            continue;
        }
        if (!fits(f.type, *it)) {
            throw ModelAnswerInvalid("the model's answer for " + name + " has field '" + f.name +
                                     "' that is not " + type_words(f.type) + " (got " +
                                     python_type_name(*it) + "): " + excerpt(raw));
        }
        record[f.name] = *it;
    }
    return record;
}

StructuredModel::StructuredModel(std::shared_ptr<const ChatModel> model, RecordSchema schema,
                                 StructuredMethod method)
    : model_(std::move(model)), schema_(std::move(schema)), method_(method) {
    if (!model_) {
        throw ValueError("with_structured_output needs a chat model");
    }
    if (method_ == StructuredMethod::FunctionCalling) {
        options_.body_extra = {
            {"tools", Value::array({{{"type", "function"},
                                     {"function",
                                      {{"name", schema_.name},
                                       {"description", schema_.description},
                                       {"parameters", schema_.json_schema()}}}}})},
            {"tool_choice", {{"type", "function"}, {"function", {{"name", schema_.name}}}}}};
    } else {
        options_.body_extra = {
            {"response_format",
             {{"type", "json_schema"},
              {"json_schema",
               {{"name", schema_.name}, {"schema", schema_.json_schema()}, {"strict", false}}}}}};
    }
}

Value StructuredModel::invoke(const std::vector<Message>& messages) const {
    const ChatResult result = model_->invoke(messages, options_);
    std::string raw;
    if (method_ == StructuredMethod::FunctionCalling) {
        const Value* call = called_tool(result.tool_calls, schema_.name);
        if (call == nullptr) {
            throw ModelAnswerInvalid("the model answered without calling '" + schema_.name +
                                     "': " + excerpt(result.content));
        }
        const Value* arguments = find_member(find_member(call, "function"), "arguments");
        if (arguments == nullptr || arguments->is_null()) {
            throw ModelAnswerInvalid("the model called '" + schema_.name +
                                     "' without arguments: " + excerpt(call->dump()));
        }
        if (arguments->is_object()) {
            return schema_.validate(*arguments, arguments->dump());
        }
        raw = arguments->is_string() ? arguments->get<std::string>() : arguments->dump();
    } else {
        raw = result.content;
    }
    Value parsed;
    try {
        parsed = parse_json_input(raw);
    } catch (const JsonInputError& e) {
        if (e.reason() == JsonInputError::Reason::Malformed) {
            throw ModelAnswerInvalid("the model's answer for " + schema_.name +
                                     " is not JSON: " + excerpt(raw));
        }
        throw ModelAnswerInvalid("the model's answer for " + schema_.name +
                                 " was refused: " + e.what());
    }
    return schema_.validate(parsed, raw);
}

Value StructuredModel::invoke(std::string_view text) const {
    return invoke(std::vector<Message>{{"user", std::string(text)}});
}

std::shared_ptr<StructuredModel> with_structured_output(std::shared_ptr<const ChatModel> model,
                                                        RecordSchema schema,
                                                        StructuredMethod method) {
    return std::make_shared<StructuredModel>(std::move(model), std::move(schema), method);
}

} // namespace zolviai::llm
