// The host's JSON reader on the service's reply lines, and the writer the report uses.
#include "tools/host/json.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

using mtchost::Json;

TEST(Json, readsAListReplyWithEscapedNames) {
    const std::string line =
        "{\"id\":1,\"ok\":true,\"outputs\":[{\"id\":\"winmm:00ff\",\"name\":"
        "\"Q\\\"\\u0001\\u4e2d\"},"
        "{\"id\":\"winmm:11\",\"name\":\"\\ud83c\\udfb5 B\"}]}";
    Json j;
    std::string error;
    ASSERT_TRUE(mtchost::parseJson(line, j, error)) << error;
    ASSERT_NE(j.find("id"), nullptr);
    EXPECT_EQ(j.find("id")->number, 1);
    EXPECT_TRUE(j.find("ok")->flag);
    const Json* outputs = j.find("outputs");
    ASSERT_NE(outputs, nullptr);
    ASSERT_EQ(outputs->items.size(), 2u);
    EXPECT_EQ(outputs->items[0].find("name")->text, "Q\"\x01\xE4\xB8\xAD");
    EXPECT_EQ(outputs->items[1].find("name")->text, "\xF0\x9F\x8E\xB5 B");
    EXPECT_EQ(j.find("missing"), nullptr);
}

TEST(Json, refusesWhatIsNotJson) {
    const char* bad[] = {
        "",           "{",           "{\"a\":}", "{\"a\":1,}",      "[1 2]", "{\"a\":01}",
        "{\"a\":1.}", "{\"a\":tru}", "\"a\nb\"", "{\"a\":\"\\x\"}", "{} {}", "{\"a\" 1}",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        Json j;
        std::string error;
        EXPECT_FALSE(mtchost::parseJson(text, j, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(Json, writesStringsAndNumbersThatReadBack) {
    EXPECT_EQ(mtchost::quoteJson("a\"b\\c\n\x01\xE4\xB8\xAD"),
              "\"a\\\"b\\\\c\\n\\u0001\xE4\xB8\xAD\"");
    EXPECT_EQ(mtchost::numberJson(0.1), "0.1");
    EXPECT_EQ(mtchost::numberJson(1733650000123.4567), "1733650000123.4568");
    EXPECT_EQ(mtchost::numberJson(29.97), "29.97");
    EXPECT_EQ(mtchost::numberJson(3600), "3600");
    EXPECT_EQ(mtchost::numberJson(-120000), "-120000");
    EXPECT_EQ(mtchost::numberJson(3650.5), "3650.5");
    EXPECT_EQ(mtchost::numberJson(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(mtchost::numberJson(std::numeric_limits<double>::infinity()), "null");
}

}  // namespace
