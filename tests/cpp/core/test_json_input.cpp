#include "zolviai/core/json_input.hpp"

#include <gtest/gtest.h>

using namespace zolviai;

namespace {

std::string nested_arrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

// {"a":{"a":...{"a":1}...}} with `depth` objects.
std::string nested_objects(std::size_t depth) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
        text += "{\"a\":";
    }
    return text + "1" + std::string(depth, '}');
}

JsonInputError::Reason refusal(std::string_view text, const JsonLimits& limits = {}) {
    try {
        parse_json_input(text, limits);
    } catch (const JsonInputError& e) {
        return e.reason();
    }
    ADD_FAILURE() << "accepted: " << text.substr(0, 80);
    return JsonInputError::Reason::Malformed;
}

} // namespace

TEST(JsonInput, NestingPastTheDepthLimitIsRefusedNamingTheLimit) {
    struct Case {
        std::string text;
        std::size_t max_depth;
        bool accepted;
    };
    const Case cases[] = {
        {nested_arrays(512), 512, true},
        {nested_arrays(513), 512, false},
        {nested_objects(512), 512, true},
        {nested_objects(513), 512, false},
        {"[{\"a\":[{\"b\":[1]}]}]", 5, true},
        {"[{\"a\":[{\"b\":[[1]]}]}]", 5, false}, // arrays and objects count alike
        {"[[1],[2],[3],[4]]", 2, true},          // siblings do not add up
        {nested_arrays(60000), 512, false},
        {nested_objects(60000), 512, false},
        {std::string(60000, '['), 512, false}, // refused before the missing ends are noticed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40) + " with a limit of " + std::to_string(c.max_depth));
        const JsonLimits limits{c.max_depth, JsonLimits{}.max_bytes};
        if (c.accepted) {
            EXPECT_EQ(parse_json_input(c.text, limits), Value::parse(c.text));
            continue;
        }
        try {
            parse_json_input(c.text, limits);
            ADD_FAILURE() << "accepted";
        } catch (const JsonInputError& e) {
            EXPECT_EQ(e.reason(), JsonInputError::Reason::TooDeep);
            EXPECT_NE(
                std::string(e.what()).find("limit of " + std::to_string(c.max_depth) + " levels"),
                std::string::npos)
                << e.what();
        }
    }
}

TEST(JsonInput, TextOverTheSizeLimitIsRefusedBeforeItIsRead) {
    const JsonLimits ten_bytes{512, 10};
    EXPECT_EQ(parse_json_input("[1,2,3,44]", ten_bytes), Value({1, 2, 3, 44}));
    try {
        parse_json_input("[1,2,3,4,5]", ten_bytes);
        ADD_FAILURE() << "11 bytes taken under a 10-byte limit";
    } catch (const JsonInputError& e) {
        EXPECT_EQ(e.reason(), JsonInputError::Reason::TooLarge);
        EXPECT_NE(std::string(e.what()).find("11 bytes is over the limit of 10 bytes"),
                  std::string::npos)
            << e.what();
    }
    // Malformed text over the limit is refused for its size: the parser never saw it.
    EXPECT_EQ(refusal("not json at all", ten_bytes), JsonInputError::Reason::TooLarge);
    // A value of JsonInputError is a ValueError, as hosts see it.
    EXPECT_THROW(parse_json_input("[1,2,3,4,5]", ten_bytes), ValueError);
}

TEST(JsonInput, MalformedTextCarriesTheParsersDescription) {
    for (const char* text : {"", "{", "[1,]", "1 2", "{\"a\" 1}", "{\"a\":1,}", "nul", "\"\\x\""}) {
        SCOPED_TRACE(text);
        try {
            parse_json_input(text);
            ADD_FAILURE() << "accepted";
        } catch (const JsonInputError& e) {
            EXPECT_EQ(e.reason(), JsonInputError::Reason::Malformed);
            EXPECT_NE(std::string(e.what()).find("parse error"), std::string::npos) << e.what();
        }
    }
}

// The result must be the value Value::parse gives, member order and repeated keys included:
// the builder appends members itself and keeps an index for wide objects.
TEST(JsonInput, ValuesAreTheOnesValueParseGives) {
    std::string wide = "{";
    for (int i = 0; i < 200; ++i) {
        wide += "\"k" + std::to_string(i % 150) + "\":" + std::to_string(i) + ",";
    }
    wide += "\"k3\":[{\"k3\":1,\"k3\":2}]}";
    std::string narrow_repeats = R"({"b":1,"a":2,"b":3,"c":{"x":1,"x":null},"a":[true]})";
    const std::string texts[] = {
        "null",
        "true",
        "-0",
        "18446744073709551615",
        "-9223372036854775808",
        "1.5e300",
        R"("caf\u00e9 \ud83d\ude00 \"q\"")",
        R"({"z":1,"a":2,"m":{"b":[1,2,{"c":[]}],"a":{}}})",
        R"([[],{},[[]],{"":""}])",
        narrow_repeats,
        wide,
        "  \n[1, 2]\t ",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text.substr(0, 60));
        const Value ours = parse_json_input(text);
        const Value reference = Value::parse(text);
        EXPECT_EQ(ours, reference);
        EXPECT_EQ(ours.dump(), reference.dump()) << "member order differs";
    }
    const Value repeated = parse_json_input(wide);
    EXPECT_EQ(repeated.size(), 150u);
    EXPECT_EQ(repeated.at("k0"), 150) << "the last value wins";
    EXPECT_EQ(repeated.begin().key(), "k0") << "at the first key's place";
}

TEST(JsonInput, AccessorsAnswerAbsentForMissingKeysAndOtherShapes) {
    const Value doc = Value::parse(R"({"s":"text","n":7,"f":3.0,"half":3.5,"big":1e300,
        "huge":18446744073709551615,"neg":-4,"t":true,"z":null,"list":[10,20],"obj":{"k":"v"}})");
    EXPECT_EQ(find_member(doc, "n"), &doc["n"]);
    EXPECT_EQ(find_member(doc, "missing"), nullptr);
    EXPECT_EQ(find_member(find_member(doc, "list"), "k"), nullptr) << "an array has no members";
    EXPECT_EQ(find_member(static_cast<const Value*>(nullptr), "k"), nullptr);
    EXPECT_EQ(*find_member(find_member(doc, "obj"), "k"), "v");

    const Value* list = find_member(doc, "list");
    EXPECT_EQ(*find_element(list, 1), 20);
    EXPECT_EQ(find_element(list, 2), nullptr);
    EXPECT_EQ(find_element(find_member(doc, "obj"), 0), nullptr) << "an object has no elements";
    EXPECT_EQ(find_element(static_cast<const Value*>(nullptr), 0), nullptr);

    EXPECT_EQ(string_member(&doc, "s"), "text");
    for (const char* key : {"n", "z", "missing", "obj"}) {
        EXPECT_EQ(string_member(&doc, key), std::nullopt) << key;
    }
    EXPECT_EQ(integer_member(&doc, "n"), 7);
    EXPECT_EQ(integer_member(&doc, "neg"), -4);
    EXPECT_EQ(integer_member(&doc, "f"), 3) << "a whole float counts";
    for (const char* key : {"half", "big", "huge", "t", "s", "z", "missing"}) {
        EXPECT_EQ(integer_member(&doc, key), std::nullopt) << key;
    }

    Value mutable_doc = doc;
    Value* obj = find_member(&mutable_doc, "obj");
    ASSERT_NE(obj, nullptr);
    *obj = 1;
    EXPECT_EQ(mutable_doc["obj"], 1) << "the mutable accessor reaches the document itself";
}
