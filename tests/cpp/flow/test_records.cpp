#include "zolviai/flow/records.hpp"

#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::flow;

// Field names, types and descriptions reach the model with the schema: a slip changes what it
// is asked to fill in.
TEST(FlowRecords, HaveTheirFieldsTypesDefaultsAndDescriptions) {
    const Value gen = GenerationOutput().json_schema();
    EXPECT_EQ(gen["required"], Value({"final_response"}));
    EXPECT_EQ(gen["properties"]["image_path"]["default"], "");
    EXPECT_EQ(gen["properties"]["image_path"]["description"],
              "image path generated if exists in context");
    EXPECT_EQ(gen["properties"]["final_response"]["description"], "final response");
    EXPECT_EQ(RelevantTablesOutput().json_schema()["properties"]["relevant_tables"],
              Value({{"type", "array"},
                     {"items", {{"type", "string"}}},
                     {"description", "List of relevant table names"}}));
    EXPECT_EQ(RewriteQueryOutput().fields.at(0).description, "Rewritten question");
    EXPECT_EQ(PythonCodeInput().fields.at(0).description, "Python code to be executed");
    // A missing optional field takes its default; an explicit null stays null.
    EXPECT_EQ(GenerationOutput().validate({{"final_response", "ok"}}, ""),
              Value({{"image_path", ""}, {"final_response", "ok"}}));
    EXPECT_TRUE(GenerationOutput()
                    .validate({{"final_response", "ok"}, {"image_path", nullptr}}, "")["image_path"]
                    .is_null());
    EXPECT_EQ(SQLQueryInput().name, "SQLQueryInput");
    EXPECT_EQ(SQLQueryInput().json_schema(),
              Value({{"type", "object"},
                     {"properties",
                      {{"sql_query",
                        {{"type", "string"}, {"description", "SQL query string to be executed"}}}}},
                     {"required", {"sql_query"}}}));
}
