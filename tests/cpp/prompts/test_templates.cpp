#include "support/python_oracle.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/prompts/answer_prompt.hpp"
#include "zolviai/prompts/brace_template.hpp"
#include "zolviai/prompts/flow_graph_prompts.hpp"
#include "zolviai/prompts/jinja_template.hpp"

#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::prompts;

namespace {

// Each case: {"kind": "jinja"|"format", "text": ..., "vars": {...}}. Python answers with
// {"ok": rendered} or {"error": exception class name, "message": str(exception)}.
const char* kOracle = R"PY(
import json, sys, jinja2
out = []
for case in json.loads(sys.stdin.read()):
    try:
        if case["kind"] == "jinja":
            out.append({"ok": jinja2.Template(case["text"]).render(**case["vars"])})
        else:
            out.append({"ok": case["text"].format(**case["vars"])})
    except Exception as e:
        out.append({"error": type(e).__name__, "message": str(e)})
print(json.dumps(out))
)PY";

Value ours(const Value& c) {
    try {
        const std::string text = c["text"].get<std::string>();
        if (c["kind"] == "jinja") {
            return {{"ok", render_jinja(text, c["vars"])}};
        }
        return {{"ok", format_braces(text, c["vars"])}};
    } catch (const KeyError& e) {
        return {{"error", "KeyError"}, {"message", e.what()}};
    } catch (const UndefinedError& e) {
        return {{"error", "UndefinedError"}, {"message", e.what()}};
    } catch (const IndexError& e) {
        return {{"error", "IndexError"}, {"message", e.what()}};
    } catch (const ValueError& e) {
        return {{"error", "ValueError"}, {"message", e.what()}};
    } catch (const TypeError& e) {
        return {{"error", "TypeError"}, {"message", e.what()}};
    } catch (const TemplateRecursionError& e) {
        return {{"error", "RecursionError"}, {"message", e.what()}};
    }
}

void expect_same_as_python(const Value& cases) {
    const Value expected = Value::parse(zolviai::testing::run_python(kOracle, cases.dump()));
    ASSERT_EQ(expected.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(ours(cases[i]), expected[i])
            << "case #" << i << " (" << cases[i]["kind"] << "): " << cases[i]["text"].dump();
    }
}

Value pairs(int n) {
    Value out = Value::array();
    for (int i = 1; i <= n; ++i) {
        out.push_back({"SELECT " + std::to_string(i) + " FROM t", "error " + std::to_string(i)});
    }
    return out;
}

} // namespace

TEST(Templates, EveryFlowPromptRendersAsPythonRendersIt) {
    const Value question = "Which artist has the most albums? It's \"urgent\" {really}";
    const Value schema = "CREATE TABLE artist (\n\tartist_id INTEGER\n)\n\n/*\n3 rows\n*/";
    Value cases = Value::array();
    auto add = [&](const char* kind, std::string_view text, Value vars) {
        cases.push_back({{"kind", kind}, {"text", std::string(text)}, {"vars", std::move(vars)}});
    };
    for (const char* dialect : {"postgresql", "mysql", "sqlite"}) {
        add("format", SQL_PREFIX, {{"dialect", dialect}});
        add("format", SQL_GENERATION_SYSTEM_TEXT, {{"dialect", dialect}});
    }
    add("format", GET_RELEVANT_TABLE_NAMES_TEMPLATE,
        {{"user_question", question}, {"table_names_from_db", "album, artist, track"}});
    add("format", REWRITE_QUESTION_TEMPLATE,
        {{"user_question", question}, {"schemas_from_all_tables", schema}});
    add("format", GENERATE_SQL_TEMPLATE,
        {{"user_question", question}, {"schemas_from_relevant_tables", schema}});
    add("format", SQL_GENERATION_USER_TEXT,
        {{"user_question", question}, {"schemas_from_relevant_tables", schema}, {"extra", 1}});
    add("format", TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE, Value::object()); // fails: braces
    for (int n : {0, 1, 3}) {
        add("jinja", CORRECT_SQL_TEMPLATE,
            {{"user_question", question},
             {"schemas_from_relevant_tables", schema},
             {"zipped_queries_errors", pairs(n)}});
        add("jinja", PANDAS_HUMAN_TEMPLATE,
            {{"original_question", question}, {"zipped_queries_results", pairs(n)}});
    }
    add("jinja", PANDAS_SYSTEM_TEMPLATE, {{"save_path", "media/run 1"}});
    add("jinja", PANDAS_SYSTEM_TEMPLATE, {{"save_path", "m"}, {"instructions", "Be brief."}});
    add("jinja", CORRECT_SQL_TEMPLATE, Value::object()); // every name undefined
    add("format", final_node_prompt, Value::object());
    expect_same_as_python(cases);
}

TEST(Templates, BraceFormatMatchesPythonOnEdgesAndErrors) {
    const Value vars = {
        {"name", "x"},  {"n", 42},       {"f", 0.1}, {"none", nullptr}, {"list", {1, "a", nullptr}},
        {"flag", true}, {"text", "it's"}};
    Value cases = Value::array();
    for (const char* text : {"plain",
                             "{name}",
                             "{{literal}} {name}",
                             "{{{name}}}",
                             "}}{{",
                             "{n} {f} {none}",
                             "{list} {flag}",
                             "{text!r} {list!r} {name!s}",
                             "{name:>5}|{name:*^7}|{name:<3}",
                             "stray { brace",
                             "stray } brace",
                             "end {",
                             "{missing}",
                             "{}",
                             "{0}",
                             "{name} }",
                             "{missing} }",
                             "{ name }",
                             "{name!x}",
                             "",
                             "caf\xc3\xa9 {name}"}) {
        cases.push_back({{"kind", "format"}, {"text", text}, {"vars", vars}});
    }
    expect_same_as_python(cases);
}

TEST(Templates, JinjaMatchesPythonOnWhitespaceLoopsAndValues) {
    const Value vars = {{"pairs", {{"x", 1}, {"y", 2}}},
                        {"empty", Value::array()},
                        {"none", nullptr},
                        {"list", {1, "a", nullptr, 1.0, true}},
                        {"map", {{"k", "v"}}},
                        {"word", "ab"},
                        {"n", 0}};
    Value cases = Value::array();
    for (const char* text :
         {"Rows:\n    {% for a, b in pairs %}\n    - {{ a }} = {{ b }}\n    {% endfor %}\nEnd\n",
          "Rows:\n    {% for a, b in empty %}\n    - {{ a }} = {{ b }}\n    {% endfor %}\nEnd\n",
          "A\n{% for a, b in pairs %}\n{{ a }}:{{ b }}\n{% endfor %}\nB\n",
          "{{none}} {{ list }} {{map}} {{ missing }}|{{map.k}}|{{map.z}}|{{ list[1] }}",
          "{% for x in list %}{{ loop.index }}/{{ loop.length }}{% if loop.first %}F{% endif %}"
          "{% if loop.last %}L{% endif %},{% endfor %}",
          "{% for c in word %}[{{ c }}]{% endfor %}{% for k in map %}{{ k }}{% endfor %}",
          "{% for x in missing %}never{% else %}else{% endfor %}",
          "{% if n %}yes{% elif not none %}elif{% else %}no{% endif %}", "a\r\nb\r\n",
          "trailing two\n\n", "  {%- for x in list -%}  {{ x }}  {%- endfor %}  ",
          "{# a comment #}kept {{ 'literal' }} {{ 7 }}", "{{ loop.index }}", "",
          "{% for a, b in list %}{% endfor %}", "{% for x in none %}{% endfor %}",
          "{% for a, b in pairs %}{% for c in word %}{{ a }}{{ c }}{{ loop.index }}"
          "{% endfor %}{{ loop.index }};{% endfor %}"}) {
        cases.push_back({{"kind", "jinja"}, {"text", text}, {"vars", vars}});
    }
    Value checked = Value::array();
    const Value expected = Value::parse(zolviai::testing::run_python(kOracle, cases.dump()));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Value got = ours(cases[i]);
        if (expected[i].contains("error")) {
            // Errors need the same class only; Jinja2's wording carries its own internals.
            EXPECT_EQ(got.value("error", ""), expected[i]["error"])
                << "case #" << i << ": " << cases[i]["text"] << " -> " << got.dump();
        } else {
            EXPECT_EQ(got, expected[i]) << "case #" << i << ": " << cases[i]["text"];
        }
    }
}

TEST(Templates, JinjaSyntaxErrorsNameTheConstruct) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"{% for x in xs %}no end", "endfor"},
        {"{% set x = 1 %}", "'set'"},
        {"{{ x | upper }}", "x | upper"},
        {"{{ x", "}}"},
        {"{% endif %}", "endif"},
        {"{{ - }}", "'-'"},
        {"{{ 99999999999999999999 }}", "99999999999999999999"},
    };
    for (const auto& [text, part] : cases) {
        try {
            JinjaTemplate t(text);
            ADD_FAILURE() << text << ": parsed";
        } catch (const ValueError& e) {
            EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
        }
    }
}

TEST(Templates, BraceTemplateListsItsFieldsAndReRenders) {
    const BraceTemplate t(SQL_PREFIX);
    EXPECT_EQ(t.field_names(), std::vector<std::string>{"dialect"});
    const std::string once = t.render({{"dialect", "postgresql"}});
    EXPECT_EQ(once.find("{dialect}"), std::string::npos);
    EXPECT_NE(once.find("<Dialect>postgresql</Dialect>"), std::string::npos);
    EXPECT_NE(once.find("Use correct syntax for postgresql."), std::string::npos);
    EXPECT_EQ(BraceTemplate(GET_RELEVANT_TABLE_NAMES_TEMPLATE).field_names(),
              (std::vector<std::string>{"user_question", "table_names_from_db"}));
}

// Fill, alignment, width and precision as str.format reads them, and Python's own errors for
// the specs it refuses: a width or precision past 2^63 - 1 is "Too many decimal digits",
// for numbers too, and never an allocation.
TEST(Templates, BraceFormatSpecsMatchPython) {
    const Value vars = {{"s", "abcdef"}, {"short", "ab"}, {"n", 5}, {"e", "caf\xc3\xa9"}};
    Value cases = Value::array();
    for (const char* spec : {">8",
                             "*^9",
                             "^9",
                             "<8",
                             "05",
                             "08",
                             "0>8",
                             "010.3s",
                             "\xc3\xa9^9",
                             ".2",
                             ">6.2",
                             ".0",
                             ".9223372036854775807",
                             "s",
                             ">8s",
                             "+",
                             "-",
                             " ",
                             "=8",
                             "z",
                             "#",
                             "8,",
                             ",",
                             "_",
                             "_,",
                             ",_",
                             ",,",
                             ",d",
                             "_x",
                             ",x",
                             ".",
                             "d",
                             "x5",
                             ">5x5",
                             "ss",
                             ".2.2",
                             "\x01",
                             "\xc3\xa9",
                             ">99999999999999999999",
                             ">9223372036854775808",
                             ".99999999999999999999",
                             ".9223372036854775808",
                             "99999999999999999999.5x",
                             ">18446744073709551615"}) {
        for (const char* field : {"s", "short", "e"}) {
            cases.push_back({{"kind", "format"},
                             {"text", "[{" + std::string(field) + ":" + spec + "}]"},
                             {"vars", vars}});
        }
    }
    // Numbers parse the spec with the same rules; where that fails the errors must agree.
    for (const char* spec :
         {">99999999999999999999", ".99999999999999999999", "x5", "_,", ".", "9z9"}) {
        cases.push_back(
            {{"kind", "format"}, {"text", "{n:" + std::string(spec) + "}"}, {"vars", vars}});
    }
    cases.push_back({{"kind", "format"}, {"text", "{n!r:>4}|{s!r:.3}|{n!s:*<3}"}, {"vars", vars}});
    expect_same_as_python(cases);
}

// Python tries to allocate such a width and fails with MemoryError after eating the memory;
// the template refuses it at once, and the same for text that adds up past the limit.
TEST(Templates, BraceRenderedTextIsBounded) {
    const std::size_t limit = BraceTemplate::max_rendered_bytes;
    const Value vars = {{"x", "x"}, {"big", std::string(limit / 2 + 1, 'b')}};
    for (const std::string& text : std::vector<std::string>{
             "{x:>9223372036854775807}", "{x:>" + std::to_string(limit + 1) + "}",
             "{x:\xc3\xa9>" + std::to_string(limit / 2 + 1) + "}", "{big}{big}",
             "{x:>" + std::to_string(limit) + "}."}) {
        try {
            format_braces(text, vars);
            ADD_FAILURE() << text.substr(0, 40) << ": rendered";
        } catch (const ValueError& e) {
            EXPECT_NE(std::string(e.what()).find(std::to_string(limit)), std::string::npos)
                << e.what();
        }
    }
    EXPECT_EQ(format_braces("{x:>" + std::to_string(limit) + "}", vars).size(), limit);
}

// Python's jinja2 gives up on such templates with RecursionError; ours says the same before
// the parser, the renderer or the tree's destructors could run off the stack.
TEST(Templates, JinjaDeepNestingIsARecursionErrorAsInPython) {
    auto repeat = [](std::string_view part, std::size_t n) {
        std::string out;
        for (std::size_t i = 0; i < n; ++i) {
            out += part;
        }
        return out;
    };
    const Value vars = {{"x", {1}}, {"m", Value::object()}};
    Value cases = Value::array();
    for (const std::string& text : std::vector<std::string>{
             repeat("{% if x %}", 10000) + "a" + repeat("{% endif %}", 10000),
             repeat("{% for a in x %}", 10000) + "a" + repeat("{% endfor %}", 10000),
             repeat("{% if x %}", 10000) + "a",      // never closed
             "{{ m" + repeat(".a", 100000) + " }}",  // a chain of look-ups
             "{{ x" + repeat("[0]", 100000) + " }}", //
             "{{ " + repeat("x[", 10000) + "0" + repeat("]", 10000) + " }}"}) { // nested indexes
        cases.push_back({{"kind", "jinja"}, {"text", text}, {"vars", vars}});
    }
    const Value expected = Value::parse(zolviai::testing::run_python(kOracle, cases.dump()));
    const std::string words = "maximum recursion depth exceeded";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Value got = ours(cases[i]);
        ASSERT_EQ(expected[i].value("error", ""), "RecursionError") << "case #" << i;
        EXPECT_EQ(got.value("error", ""), "RecursionError") << "case #" << i << ": " << got.dump();
        EXPECT_EQ(got.value("message", "").substr(0, words.size()), words) << got.dump();
    }
}

// Up to the limit everything renders; one level more is refused, in blocks and expressions.
TEST(Templates, JinjaNestsUpToItsDepthLimit) {
    const std::size_t limit = JinjaTemplate::max_depth;
    auto nested_ifs = [](std::size_t n) {
        std::string out;
        for (std::size_t i = 0; i < n; ++i) {
            out += i % 2 ? "{% for a in x %}" : "{% if x %}";
        }
        out += "{{ loop.index }}";
        for (std::size_t i = n; i-- > 0;) {
            out += i % 2 ? "{% endfor %}" : "{% endif %}";
        }
        return out;
    };
    auto chain = [](std::size_t n) {
        std::string out = "{{ m";
        for (std::size_t i = 1; i < n; ++i) {
            out += ".a";
        }
        return out + " }}";
    };
    Value m = "end";
    for (std::size_t i = 1; i < limit; ++i) {
        m = Value{{"a", m}};
    }
    const Value vars = {{"x", {7}}, {"m", m}};
    EXPECT_EQ(render_jinja(nested_ifs(limit), vars), "1");
    EXPECT_EQ(render_jinja(chain(limit), vars), "end");
    EXPECT_THROW(JinjaTemplate{nested_ifs(limit + 1)}, TemplateRecursionError);
    EXPECT_THROW(JinjaTemplate{chain(limit + 1)}, TemplateRecursionError);
}

// Loops multiply what they render: three nested loops over 100 items of 10 kB would render
// 10 GB. Rendering stops at the limit instead.
TEST(Templates, JinjaRenderedTextIsBounded) {
    Value items = Value::array();
    for (int i = 0; i < 100; ++i) {
        items.push_back(i);
    }
    const Value vars = {{"xs", items}, {"big", std::string(10000, 'b')}};
    const JinjaTemplate t("{% for a in xs %}{% for b in xs %}{% for c in xs %}{{ big }}"
                          "{% endfor %}{% endfor %}{% endfor %}");
    try {
        t.render(vars);
        ADD_FAILURE() << "rendered";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find(std::to_string(JinjaTemplate::max_rendered_bytes)),
                  std::string::npos)
            << e.what();
    }
    const JinjaTemplate literal("{% for a in xs %}{% for b in xs %}{% for c in xs %}" +
                                std::string(10000, 't') + "{% endfor %}{% endfor %}{% endfor %}");
    EXPECT_THROW(literal.render(vars), ValueError);
}
