// Settings: which layer a value comes from, the deprecated ZOLVIAI_ names, and .env text.
#include "zolviai/core/settings.hpp"

#include <gtest/gtest.h>
#include <map>
#include <string>

namespace {

using zolviai::Settings;

// An environment made of a map, as a host's would be looked up.
Settings::Lookup environment(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
        const auto it = values.find(name);
        return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
}

TEST(Settings, FlagBeatsEnvironmentBeatsDotenvBeatsDefault) {
    struct Case {
        const char* what;
        bool flag, env, dotenv;
        const char* expected;
    };
    const Case cases[] = {
        {"all layers", true, true, true, "flag"},     {"no flag", false, true, true, "env"},
        {"only .env", false, false, true, "dotenv"},  {"nothing", false, false, false, "default"},
        {"flag and .env", true, false, true, "flag"},
    };
    for (const Case& c : cases) {
        Settings s;
        if (c.flag) {
            s.set_flag("ZOLVI_SCHEMA_CACHE", "flag");
        }
        s.set_environment(
            environment(c.env ? std::map<std::string, std::string>{{"ZOLVI_SCHEMA_CACHE", "env"}}
                              : std::map<std::string, std::string>{}));
        if (c.dotenv) {
            s.set_dotenv({{"ZOLVI_SCHEMA_CACHE", "dotenv"}});
        }
        EXPECT_EQ(s.get("ZOLVI_SCHEMA_CACHE", "default"), c.expected) << c.what;
    }
}

TEST(Settings, EmptyValuesCountAsUnsetButAFlagMayClearOne) {
    Settings s;
    s.set_environment(environment({{"ZOLVI_CONTEXT_FILE", ""}}));
    s.set_dotenv({{"ZOLVI_CONTEXT_FILE", "/from/dotenv"}});
    EXPECT_EQ(s.get("ZOLVI_CONTEXT_FILE", "x"), "/from/dotenv");
    s.set_flag("ZOLVI_CONTEXT_FILE", "");
    EXPECT_EQ(s.get("ZOLVI_CONTEXT_FILE"), std::optional<std::string>(""));
}

TEST(Settings, EnvironmentIsLookedUpWhenRead) {
    std::map<std::string, std::string> values;
    Settings s;
    s.set_environment([&values](const std::string& name) -> std::optional<std::string> {
        const auto it = values.find(name);
        return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
    });
    EXPECT_FALSE(s.enabled("ZOLVI_REQUIRE_READ_ONLY_ROLE"));
    values["ZOLVI_REQUIRE_READ_ONLY_ROLE"] = "Yes";
    EXPECT_TRUE(s.enabled("ZOLVI_REQUIRE_READ_ONLY_ROLE"));
    values["ZOLVI_REQUIRE_READ_ONLY_ROLE"] = "2";
    EXPECT_FALSE(s.enabled("ZOLVI_REQUIRE_READ_ONLY_ROLE"));
}

TEST(Settings, DeprecatedNamesAreReadWithOneNoticePerProcess) {
    Settings s;
    s.set_environment(environment({{"ZOLVIAI_MSSQL_ODBC_DRIVER", "FreeTDS"},
                                   {"ZOLVIAI_ODBC_LIBRARY", "libodbc.so.9"},
                                   {"ZOLVI_SCHEMA_CACHE", "/new"},
                                   {"ZOLVIAI_SCHEMA_CACHE", "/old"}}));
    s.set_dotenv({{"ZOLVIAI_CONTEXT_FILE", "/ctx"}});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(s.get("ZOLVI_MSSQL_ODBC_DRIVER", ""), "FreeTDS");
    EXPECT_EQ(s.get("ZOLVI_ODBC_LIBRARY", ""), "libodbc.so.9");
    EXPECT_EQ(s.get("ZOLVI_MSSQL_ODBC_DRIVER", ""), "FreeTDS");
    EXPECT_EQ(s.get("ZOLVI_CONTEXT_FILE", ""), "/ctx"); // the old name in .env too
    // The new name wins over the old one.
    EXPECT_EQ(s.get("ZOLVI_SCHEMA_CACHE", ""), "/new");
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(told, "zolvi: ZOLVIAI_MSSQL_ODBC_DRIVER is deprecated, set "
                    "ZOLVI_MSSQL_ODBC_DRIVER instead\n");
    // Names outside the product's own are never taken for an old spelling.
    EXPECT_EQ(zolviai::deprecated_alias("OPENAI_API_KEY"), "");
    EXPECT_EQ(zolviai::deprecated_alias("ZOLVI_ODBC_LIBRARY"), "ZOLVIAI_ODBC_LIBRARY");
}

TEST(Settings, DotenvTextReadsAsAShellWould) {
    const auto values = Settings::parse_dotenv("# comment\n"
                                               "\n"
                                               "ZOLVI_A=plain\n"
                                               "export ZOLVI_B = spaced  \n"
                                               "ZOLVI_C=\"quoted # not a comment\"\n"
                                               "ZOLVI_D=value # a comment\r\n"
                                               "not a line\n"
                                               "ZOLVI_A=later\n"
                                               "=no name\n");
    const std::map<std::string, std::string> expected = {
        {"ZOLVI_A", "later"},
        {"ZOLVI_B", "spaced"},
        {"ZOLVI_C", "quoted # not a comment"},
        {"ZOLVI_D", "value"},
    };
    EXPECT_EQ(values, expected);
}

TEST(Settings, InstalledSettingsAreWhatLayersBelowRead) {
    const auto before = zolviai::settings();
    Settings s;
    s.set_flag("ZOLVI_ANALYSIS_SANDBOX", "0");
    zolviai::install_settings(s);
    EXPECT_EQ(zolviai::settings()->get("ZOLVI_ANALYSIS_SANDBOX", "1"), "0");
    EXPECT_EQ(before->get("ZOLVI_ANALYSIS_SANDBOX", "unchanged"), "unchanged");
    zolviai::install_settings(*before);
}

} // namespace
