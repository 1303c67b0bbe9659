#include "support/python_oracle.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <sstream>

using zolviai::Value;
namespace py = zolviai::python;

namespace {

// Sends the values to Python as JSON and returns one repr per line.
std::vector<std::string> python_reprs(const Value& values) {
    const std::string script = "import json, sys\n"
                               "for v in json.loads(sys.stdin.read()):\n"
                               "    print(repr(v))\n";
    std::istringstream lines(zolviai::testing::run_python(script, values.dump()));
    std::vector<std::string> out;
    for (std::string line; std::getline(lines, line);) {
        out.push_back(line);
    }
    return out;
}

void expect_same_as_python(const Value& values) {
    const auto expected = python_reprs(values);
    ASSERT_EQ(expected.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(py::repr(values[i]), expected[i]) << "value #" << i << ": " << values[i].dump();
    }
}

std::string utf8(char32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return s;
}

} // namespace

TEST(PythonRepr, TextQuoteChoiceAndEscapesMatchPython) {
    Value values = Value::array({"", "plain", "it's", "say \"hi\"", "both ' and \"", "back\\slash",
                                 "line\nbreak\r\ttab", std::string("nul\0bell\x07", 9),
                                 "caf\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80",
                                 "\xe2\x80\x8b zero width", "\xc2\xa0nbsp", "\xe2\x80\xa8 sep",
                                 "\x7f del", "\xc2\x85 nel", "\xef\xbb\xbf bom"});
    expect_same_as_python(values);
}

TEST(PythonRepr, EveryCodePointClassMatchesPython) {
    // One text per block of 64 code points across the planes in use; surrogates excluded.
    Value values = Value::array();
    for (char32_t base = 0; base < 0x30000; base += 0x40) {
        std::string text;
        for (char32_t cp = base; cp < base + 0x40; cp += 3) {
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                continue;
            }
            text += utf8(cp);
        }
        values.push_back(text);
    }
    for (char32_t cp : {0xE0001u, 0xE0100u, 0xF0000u, 0x10FFFDu, 0x10FFFFu}) {
        values.push_back(utf8(cp));
    }
    expect_same_as_python(values);
}

TEST(PythonRepr, FloatsUseShortestRoundTripFormLikePython) {
    Value values = Value::array({0.1, 1.0, -2.5, 1e-05, 0.0001, 1e15, 1e16, 1.2345678901234568e+17,
                                 123456789.125, 5e-324, 1.7976931348623157e308, 0.30000000000000004,
                                 100.0, 1e22, 2.5e-7, -0.00012});
    std::mt19937_64 rng(42);
    for (int i = 0; i < 3000; ++i) {
        double d;
        const std::uint64_t bits = rng();
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) {
            values.push_back(d);
        }
    }
    std::uniform_real_distribution<double> everyday(-1e6, 1e6);
    for (int i = 0; i < 1000; ++i) {
        values.push_back(everyday(rng));
    }
    expect_same_as_python(values);
}

TEST(PythonRepr, FloatsPythonCannotSendAsJson) {
    EXPECT_EQ(py::repr_float(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(py::repr_float(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(py::repr_float(std::nan("")), "nan");
    EXPECT_EQ(py::repr_float(-0.0), "-0.0");
}

TEST(PythonRepr, ContainersNumbersAndNoneMatchPython) {
    Value values = Value::array(
        {nullptr, true, false, 0, -17, 9007199254740993LL, Value::array(),
         Value::array({1, "a", nullptr, 1.0, true}),
         Value::object({{"col", "x"}, {"n", 2}, {"it's", Value::array({Value::object()})}}),
         Value::array({Value::array({"nested", Value::array()})})});
    values.push_back(std::numeric_limits<std::uint64_t>::max());
    expect_same_as_python(values);
}

TEST(PythonRepr, TuplesKeepTheOneElementComma) {
    EXPECT_EQ(py::repr_tuple({"5"}), "(5,)");
    EXPECT_EQ(py::repr_tuple({}), "()");
    EXPECT_EQ(py::repr_tuple({"'a'", "None"}), "('a', None)");
    EXPECT_EQ(py::repr_list({py::repr_tuple({"5"})}), "[(5,)]");
}

TEST(PythonRepr, BytesMatchPython) {
    const std::string script = "import sys\n"
                               "data = sys.stdin.buffer.read()\n"
                               "for part in data.split(b'|'):\n"
                               "    print(repr(bytes.fromhex(part.decode())))\n";
    const std::vector<std::string> samples = {std::string("abc\0\xff", 5), "it's", "\"q\" 'q'",
                                              "\\\n\r\t\x7f\x80", ""};
    std::string input;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (i > 0) {
            input += "|";
        }
        for (unsigned char c : samples[i]) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", c);
            input += hex;
        }
    }
    std::istringstream lines(zolviai::testing::run_python(script, input));
    for (const auto& sample : samples) {
        std::string expected;
        std::getline(lines, expected);
        EXPECT_EQ(py::repr_bytes(sample), expected);
    }
}

TEST(PythonRepr, InvalidUtf8ShowsAsSurrogateEscapes) {
    // What Python prints for b'ok\xff'.decode('utf-8', 'surrogateescape').
    EXPECT_EQ(py::repr_text("ok\xff"), "'ok\\udcff'");
    EXPECT_EQ(py::repr_text("\xc0\xaf"), "'\\udcc0\\udcaf'");            // overlong form
    EXPECT_EQ(py::repr_text("\xed\xa0\x80"), "'\\udced\\udca0\\udc80'"); // encoded surrogate
}

TEST(PythonRepr, StrOfTextIsTheTextItself) {
    EXPECT_EQ(py::str(Value("it's\n")), "it's\n");
    EXPECT_EQ(py::str(Value(nullptr)), "None");
    EXPECT_EQ(py::str(Value::array({"a", 1})), "['a', 1]");
}

TEST(Errors, KeyErrorPrintsTheKeyAsPythonDoes) {
    EXPECT_STREQ(zolviai::KeyError("missing").what(), "'missing'");
    EXPECT_EQ(zolviai::KeyError("missing").key(), "missing");
}
