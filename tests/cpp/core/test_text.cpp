// The shared text helpers: every layer counts, cuts, masks and quotes text through them, so a
// fault here shows up as a cut character, a leaked password or a connection string that reads
// back differently.
#include "zolviai/core/text.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace zolviai;

TEST(Utf8, ValidatesAndCutsOnCharacterBoundaries) {
    EXPECT_TRUE(zolviai::is_valid_utf8("plain ascii text that is longer than eight bytes"));
    EXPECT_TRUE(zolviai::is_valid_utf8("\xf4\x8f\xbf\xbf"));  // U+10FFFF
    EXPECT_FALSE(zolviai::is_valid_utf8("\xf4\x90\x80\x80")); // past U+10FFFF
    EXPECT_FALSE(zolviai::is_valid_utf8("abcdefgh\xe2\x82")); // cut inside a character
    const std::string text = "a\xc3\xa9\xe2\x82\xac";         // a é €
    EXPECT_EQ(zolviai::utf8_prefix_length(text, 100), text.size());
    EXPECT_EQ(zolviai::utf8_prefix_length(text, 2), 1u);
    EXPECT_EQ(zolviai::utf8_prefix_length(text, 3), 3u);
    EXPECT_EQ(zolviai::utf8_prefix_length(text, 5), 3u);
}

TEST(Utf8, DecodesWellFormedCharactersAndRefusesTheRest) {
    struct Case {
        std::string text;
        std::size_t length; // 0: not a well-formed character
        char32_t code_point;
    };
    const std::vector<Case> cases = {
        {"A", 1, U'A'},
        {"\xc3\xa9", 2, U'\u00e9'},
        {"\xe2\x82\xac", 3, U'\u20ac'},
        {"\xf0\x9d\x84\x9e", 4, U'\U0001d11e'},
        {"\xf4\x8f\xbf\xbf", 4, U'\U0010ffff'},
        {"\xc0\xaf", 0, 0},         // overlong '/'
        {"\xe0\x80\xaf", 0, 0},     // overlong, three bytes
        {"\xed\xa0\x80", 0, 0},     // a surrogate
        {"\xf4\x90\x80\x80", 0, 0}, // past U+10FFFF
        {"\x80", 0, 0},             // a continuation byte alone
        {"\xe2\x82", 0, 0},         // cut short
    };
    for (const Case& c : cases) {
        char32_t cp = 0xBAD;
        EXPECT_EQ(decode_utf8(c.text, 0, cp), c.length) << c.text;
        EXPECT_EQ(cp, c.length == 0 ? 0xBAD : c.code_point) << c.text;
    }
}

TEST(Utf8, CountsAndCutsByCharacters) {
    const std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e"; // a é € 𝄞: 4 characters
    EXPECT_EQ(utf8_length(text), 4u);
    EXPECT_EQ(utf8_length(""), 0u);
    EXPECT_EQ(utf8_offset(text, 0), 0u);
    EXPECT_EQ(utf8_offset(text, 2), 3u);
    EXPECT_EQ(utf8_offset(text, 3), 6u);
    EXPECT_EQ(utf8_offset(text, 4), text.size());
    EXPECT_EQ(utf8_offset(text, 99), text.size());
    EXPECT_EQ(utf8_char_length(text, 0), 1u);
    EXPECT_EQ(utf8_char_length(text, 1), 2u);
    EXPECT_EQ(utf8_char_length(text, 6), 4u);
    EXPECT_EQ(utf8_char_length("\xe2\x82", 0), 2u); // a cut character ends with the text
}

TEST(Utf8, ShortensToMaxCharactersEndingInTheMarker) {
    const std::vector<std::tuple<std::string, std::size_t, std::string>> cases = {
        {"abcdef", 6, "abcdef"},
        {"abcdefg", 6, "abc..."},
        {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 4,
         "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"}, // 8 bytes, 4 chars
        {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 4, "\xc3\xa9..."},
        {"abcdef", 2, "..."},
        {"", 0, ""},
    };
    for (const auto& [text, max, expected] : cases) {
        EXPECT_EQ(utf8_shorten(text, max), expected) << text << " / " << max;
    }
}

TEST(MaskSecret, ReplacesEveryOccurrenceButNotShortSecrets) {
    EXPECT_EQ(mask_secret("password 'hunter2' for hunter2@db", "hunter2"),
              "password '***' for ***@db");
    EXPECT_EQ(mask_secret("no secret here", "hunter2"), "no secret here");
    // A three-letter password would mask parts of ordinary words.
    EXPECT_EQ(mask_secret("the role abc", "abc"), "the role abc");
    // The mask itself never becomes part of a new match.
    EXPECT_EQ(mask_secret("***a***aa", "***a"), "******a");
}

TEST(Trim, DropsTheGivenCharactersAtBothEndsOnly) {
    EXPECT_EQ(trim("  a b \t\r\n"), "a b");
    EXPECT_EQ(trim(" \n "), "");
    EXPECT_EQ(trim_end("  message \r\n", " \r\n"), "  message");
    EXPECT_EQ(trim_end("\n", " \r\n"), "");
    EXPECT_EQ(trim("--x--", "-"), "x");
}

TEST(Quoting, EnclosesWithTheClosingCharacterDoubled) {
    EXPECT_EQ(enclosed("a\"b", '"', '"'), "\"a\"\"b\"");
    EXPECT_EQ(enclosed("it's", '\'', '\''), "'it''s'");
    EXPECT_EQ(enclosed("we{ird}", '{', '}'), "{we{ird}}}");
    EXPECT_EQ(enclosed("", '`', '`'), "``");
}

TEST(Quoting, OdbcValuesAreBracedExactlyWhenTheGrammarWouldMisreadThem) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"sales", "sales"},     {"", ""},
        {"in side", "in side"}, {"a;DATABASE=master", "{a;DATABASE=master}"},
        {"a=b", "{a=b}"},       {"we{ird}", "{we{ird}}}"},
        {"}", "{}}}"},          {" lead", "{ lead}"},
        {"trail ", "{trail }"},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(odbc_attribute_value(value), expected) << value;
    }
}

TEST(Hex, TwoLowerCaseDigitsPerByteAppended) {
    std::string out = "X'";
    append_hex(out, std::string("\x00\x0f\xa5\xff", 4));
    EXPECT_EQ(out, "X'000fa5ff");
}
