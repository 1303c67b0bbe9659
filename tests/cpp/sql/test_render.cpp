#include "support/python_oracle.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/sql/cell.hpp"
#include "zolviai/sql/render.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <gtest/gtest.h>
#include <sstream>

using namespace zolviai::sql;

namespace {

// Python's repr(eval(line)) for each line: what Python prints for the value we claim.
std::vector<std::string> python_reprs(const std::vector<std::string>& expressions) {
    std::string input;
    for (const auto& e : expressions) {
        input += e + "\n";
    }
    const std::string script = "import datetime, sys\n"
                               "from decimal import Decimal\n"
                               "from uuid import UUID\n"
                               "for line in sys.stdin.read().splitlines():\n"
                               "    print(repr(eval(line)))\n";
    std::istringstream lines(zolviai::testing::run_python(script, input));
    std::vector<std::string> out;
    for (std::string line; std::getline(lines, line);) {
        out.push_back(line);
    }
    return out;
}

DateTime when(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int us = 0) {
    DateTime t;
    t.year = y;
    t.month = mo;
    t.day = d;
    t.hour = h;
    t.minute = mi;
    t.second = s;
    t.microsecond = us;
    return t;
}

DateTime with_offset(DateTime t, int offset) {
    t.has_offset = true;
    t.utc_offset = offset;
    return t;
}

} // namespace

// Each cell renders as the repr of the Python value it stands for, checked against Python;
// the str() form is checked by the same table.
TEST(CellRender, ReprAndStrMatchPython) {
    struct Case {
        Cell cell;
        std::string python; // an expression giving the Python value
    };
    const std::vector<Case> cases = {
        {Cell::null(), "None"},
        {Cell::of_bool(true), "True"},
        {Cell::of_int(-9007199254740993LL), "-9007199254740993"},
        {Cell::of_float(0.1), "0.1"},
        {Cell::of_float(1e16), "1e16"},
        {Cell::of_float(1.0), "1.0"},
        {Cell::of_decimal("12.50"), "Decimal('12.50')"},
        {Cell::of_decimal("-0.001"), "Decimal('-0.001')"},
        {Cell::of_text("it's \"q\"\n\tcaf\xc3\xa9"), "'it\\'s \"q\"\\n\\tcaf\\xe9'"},
        {Cell::of_bytes(std::string("a\0\xff'", 4)), "b\"a\\x00\\xff'\""},
        {Cell::of_date(2024, 1, 5), "datetime.date(2024, 1, 5)"},
        {Cell::of_time(when(1, 1, 1, 9, 30)), "datetime.time(9, 30)"},
        {Cell::of_time(when(1, 1, 1, 0, 0, 0, 5)), "datetime.time(0, 0, 0, 5)"},
        {Cell::of_time(with_offset(when(1, 1, 1, 9, 30, 1), -3600)),
         "datetime.time(9, 30, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=-1)))"},
        {Cell::of_timestamp(when(2024, 1, 5)), "datetime.datetime(2024, 1, 5, 0, 0)"},
        {Cell::of_timestamp(when(2024, 1, 5, 13, 4, 5, 120000)),
         "datetime.datetime(2024, 1, 5, 13, 4, 5, 120000)"},
        {Cell::of_timestamp(with_offset(when(2024, 1, 5, 13, 4, 5), 0)),
         "datetime.datetime(2024, 1, 5, 13, 4, 5, tzinfo=datetime.timezone.utc)"},
        {Cell::of_timestamp(with_offset(when(2024, 1, 5, 13, 4), 19800)),
         "datetime.datetime(2024, 1, 5, 13, 4, "
         "tzinfo=datetime.timezone(datetime.timedelta(hours=5, "
         "minutes=30)))"},
        {Cell::of_interval(make_interval(1, 3661000000LL)),
         "datetime.timedelta(days=1, seconds=3661)"},
        {Cell::of_interval(make_interval(0, -1)), "datetime.timedelta(microseconds=-1)"},
        {Cell::of_interval(make_interval(0, 0)), "datetime.timedelta(0)"},
        {Cell::of_json(R"({"a": [1, 2.0, null, true], "b": "x"})"),
         "{'a': [1, 2.0, None, True], 'b': 'x'}"},
        {Cell::of_json(R"("just text")"), "'just text'"},
        {Cell::of_uuid("12345678-1234-5678-1234-56781234ABCD"),
         "UUID('12345678-1234-5678-1234-56781234abcd')"},
    };
    std::vector<std::string> exprs;
    for (const auto& c : cases) {
        exprs.push_back(c.python);
    }
    // str() forms: ask Python for them too.
    std::vector<std::string> str_exprs;
    for (const auto& c : cases) {
        str_exprs.push_back("str(" + c.python + ")");
    }
    const auto reprs = python_reprs(exprs);
    const auto strs = python_reprs(str_exprs); // repr of the str: a quoted text
    ASSERT_EQ(reprs.size(), cases.size());
    ASSERT_EQ(strs.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cell_repr(cases[i].cell), reprs[i]) << "case " << i << ": " << cases[i].python;
        EXPECT_EQ(zolviai::python::repr_text(cell_str(cases[i].cell)), strs[i])
            << "str of case " << i << ": " << cases[i].python;
    }
}

TEST(CellRender, ParsesEngineDateTimeTexts) {
    DateTime t;
    ASSERT_TRUE(parse_timestamp("2024-02-29 23:59:59.1234567 +05:30", t));
    EXPECT_EQ(t.microsecond, 123456);
    EXPECT_TRUE(t.has_offset);
    EXPECT_EQ(t.utc_offset, 19800);
    ASSERT_TRUE(parse_timestamp("2024-01-05T13:04:05-08", t));
    EXPECT_EQ(t.utc_offset, -8 * 3600);
    EXPECT_FALSE(parse_date("2023-02-29", t)) << "not a leap year";
    EXPECT_FALSE(parse_date("0000-00-00", t)) << "a MariaDB zero date has no Python value";
    EXPECT_FALSE(parse_timestamp("infinity", t));
}

namespace {

ResultSet numbered_rows(int n, const std::string& text) {
    ResultSet r;
    r.columns = {{"id", "integer", CellType::Integer}, {"name", "text", CellType::Text}};
    for (int i = 0; i < n; ++i) {
        r.rows.push_back({Cell::of_int(i), Cell::of_text(text)});
    }
    r.total_rows = n;
    return r;
}

} // namespace

TEST(RenderRows, TuplesDictsAndEmptyResults) {
    ResultSet r = numbered_rows(2, "AC/DC");
    EXPECT_EQ(render_rows(r, false), "[(0, 'AC/DC'), (1, 'AC/DC')]");
    EXPECT_EQ(render_rows(r, true), "[{'id': 0, 'name': 'AC/DC'}, {'id': 1, 'name': 'AC/DC'}]");

    ResultSet one;
    one.columns = {{"n", "integer", CellType::Integer}};
    one.rows = {{Cell::of_int(5)}};
    one.total_rows = 1;
    EXPECT_EQ(render_rows(one, false), "[(5,)]") << "a one-element tuple keeps its comma";

    ResultSet none;
    none.columns = one.columns;
    EXPECT_EQ(render_rows(none, false), "");

    // Like a Python dict, a repeated name keeps its first place and its last value.
    ResultSet dup;
    dup.columns = {
        {"a", "", CellType::Integer}, {"b", "", CellType::Integer}, {"a", "", CellType::Integer}};
    dup.rows = {{Cell::of_int(1), Cell::of_int(2), Cell::of_int(3)}};
    dup.total_rows = 1;
    EXPECT_EQ(render_rows(dup, true), "[{'a': 3, 'b': 2}]");
}

TEST(RenderRows, LongTextIsCutTo300CharactersEndingInDots) {
    std::string long_text;
    for (int i = 0; i < 400; ++i) {
        long_text += "\xc3\xa9"; // é: 400 characters, 800 bytes
    }
    ResultSet r = numbered_rows(1, long_text);
    const std::string out = render_rows(r, false);
    std::string expected_text;
    for (int i = 0; i < 297; ++i) {
        expected_text += "\xc3\xa9";
    }
    EXPECT_EQ(out, "[(0, '" + expected_text + "...')]");

    ResultSet exact = numbered_rows(1, long_text.substr(0, 600)); // 300 characters: kept whole
    EXPECT_EQ(render_rows(exact, false), "[(0, '" + long_text.substr(0, 600) + "')]");
}

// A cut result says so, and the text still reads as Python (pasted into code or eval'd).
TEST(RenderRows, TruncationNoteKeepsValidPython) {
    ResultSet many = numbered_rows(50, "x");
    many.total_rows = 5234; // rows the statement gave beyond those fetched
    RenderLimits by_rows;
    by_rows.max_rows = 10;
    const std::string rows_cut = render_rows(many, false, by_rows);
    EXPECT_NE(rows_cut.find("  # result truncated: showing 10 of 5234 rows"), std::string::npos)
        << rows_cut;

    RenderLimits by_chars;
    by_chars.max_chars = 100;
    const std::string chars_cut = render_rows(many, true, by_chars);
    EXPECT_LE(chars_cut.find("  #"), 100u);
    EXPECT_NE(chars_cut.find("of 5234 rows"), std::string::npos) << chars_cut;

    const std::string script = "import ast, sys\n"
                               "for line in sys.stdin.read().split('\\x00'):\n"
                               "    print(len(ast.literal_eval(line)))\n"
                               "    compile('rows = ' + line + '\\nprint(rows)\\n', 'x', 'exec')\n";
    const std::string out =
        zolviai::testing::run_python(script, rows_cut + std::string(1, '\0') + chars_cut);
    std::istringstream lines(out);
    std::string n1, n2;
    std::getline(lines, n1);
    std::getline(lines, n2);
    EXPECT_EQ(n1, "10");
    EXPECT_EQ(n2, std::to_string(chars_cut.substr(0, chars_cut.find("  #")).size() > 2
                                     ? std::count(chars_cut.begin(), chars_cut.end(), '{')
                                     : 0));
}

// A database may hand back JSON nested deeper than printing could recurse: it shows as its
// text, never taking the stack.
TEST(CellRender, DeeplyNestedJsonShowsAsItsText) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const Cell cell = Cell::of_json(deep);
    const std::string repr = cell_repr(cell);
    EXPECT_EQ(repr.substr(0, 4), "'[[[");
    EXPECT_EQ(repr.size(), deep.size() + 2);
    EXPECT_EQ(cell_str(cell), deep);
    EXPECT_EQ(cell_repr(Cell::of_json("[[1, {\"a\": null}]]")), "[[1, {'a': None}]]");
}

// The JSON form answers, reports and --format json share: exact numbers stay numbers, the
// rest is text that keeps its digits, and nothing JSON cannot hold (NaN, infinity) slips out.
TEST(CellJson, KeepsExactNumbersAndTurnsTheRestIntoText) {
    EXPECT_EQ(cell_json(Cell{}), nullptr);
    EXPECT_EQ(cell_json(Cell::of_bool(true)), true);
    EXPECT_EQ(cell_json(Cell::of_int(-9007199254740993)).dump(), "-9007199254740993");
    EXPECT_EQ(cell_json(Cell::of_float(1.5)), 1.5);
    EXPECT_EQ(cell_json(Cell::of_float(std::numeric_limits<double>::infinity())), "inf");
    EXPECT_EQ(cell_json(Cell::of_float(std::nan(""))), "nan");
    EXPECT_EQ(cell_json(Cell::of_decimal("12.50")), "12.50");
    EXPECT_EQ(cell_json(Cell::of_date(2024, 1, 5)), "2024-01-05");
    EXPECT_EQ(cell_json(Cell::of_bytes(std::string("\x00\xff", 2))), "00ff");
    EXPECT_EQ(cell_json(Cell::of_json(R"({"a": [1, null]})")).dump(), R"({"a":[1,null]})");
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(cell_json(Cell::of_json(deep)), deep);
}
