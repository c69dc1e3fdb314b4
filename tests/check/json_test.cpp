// The checks' JSON reader on the service's reply lines and on command lines read as strictly
// as the protocol defines them, and the writer the report uses.
#include "check/json.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

using mtccheck::Json;

TEST(Json, readsAListReplyWithEscapedNames) {
    const std::string line =
        "{\"id\":1,\"ok\":true,\"outputs\":[{\"id\":\"winmm:00ff\",\"name\":"
        "\"Q\\\"\\u0001\\u4e2d\"},"
        "{\"id\":\"winmm:11\",\"name\":\"\\ud83c\\udfb5 B\"}]}";
    Json j;
    std::string error;
    ASSERT_TRUE(mtccheck::parseJson(line, j, error)) << error;
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
        EXPECT_FALSE(mtccheck::parseJson(text, j, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(Json, strictRulesRefuseExactlyWhatTheProtocolDoesNotAllow) {
    mtccheck::JsonRules reply;  // as the reliability tests read the service's lines
    reply.deepest = 16;
    reply.finiteNumbers = true;
    reply.pairedSurrogates = true;
    mtccheck::JsonRules command = reply;
    command.commandLine = true;
    const std::string members32 = [] {
        std::string text = "{";
        for (int i = 0; i < 32; ++i) {
            text += (i > 0 ? ",\"m" : "\"m") + std::to_string(i) + "\":1";
        }
        return text + "}";
    }();
    const std::string members33 = members32.substr(0, members32.size() - 1) + ",\"m32\":1}";
    // Arrays within arrays: the outermost is at depth 0, so 17 reach depth 16.
    const std::string nested17 = std::string(17, '[') + std::string(17, ']');
    const std::string nested18 = std::string(18, '[') + std::string(18, ']');
    struct Case {
        std::string text;
        bool lenient;  // default rules
        bool strictReply;
        bool strictCommand;
    };
    const std::vector<Case> cases = {
        {"{\"a\":1e999}", true, false, false},               // infinity
        {"{\"a\":\"\\ud83c\"}", true, false, false},         // lone high surrogate
        {"{\"a\":\"\\udfb5\"}", true, false, false},         // lone low surrogate
        {"{\"a\":\"\\ud83c\\u0041\"}", true, false, false},  // high then no low
        {"{\"a\":\"\\ud83c\\udfb5\"}", true, true, true},    // a pair
        {nested17, true, true, false},
        {nested18, true, false, false},
        {"{\"a\":[1]}", true, true, false},  // a command holds scalars only
        {"{\"a\":{\"b\":1}}", true, true, false},
        {"[1]", true, true, false},  // and is an object
        {" {\"a\":1} ", true, true, true},
        {"{\"a\":1,\"a\":2}", true, true, false},  // a name twice
        {members32, true, true, true},
        {members33, true, true, false},
        {"{\"a\":" + std::string(64, '1') + "}", true, true, true},
        {"{\"a\":" + std::string(65, '1') + "}", true, true, false},
        {"{\"a\":\"" + std::string(16376, 'x') + "\"}", true, true, true},  // 16384 bytes
        {"{\"a\":\"" + std::string(16377, 'x') + "\"}", true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        Json j;
        std::string error;
        EXPECT_EQ(mtccheck::parseJson(c.text, j, error), c.lenient) << error;
        EXPECT_EQ(mtccheck::parseJson(c.text, j, error, reply), c.strictReply) << error;
        EXPECT_EQ(mtccheck::parseJson(c.text, j, error, command), c.strictCommand) << error;
    }
}

TEST(Json, keepsEachNumberAsWritten) {
    Json j;
    std::string error;
    EXPECT_FALSE(mtccheck::parseJson("{\"id\":007.50e+1}", j, error));
    ASSERT_TRUE(mtccheck::parseJson("[-0.0, 12, 7.50e+1]", j, error)) << error;
    ASSERT_EQ(j.items.size(), 3u);
    EXPECT_EQ(j.items[0].token, "-0.0");
    EXPECT_EQ(j.items[1].token, "12");
    EXPECT_EQ(j.items[2].token, "7.50e+1");
    EXPECT_EQ(j.items[2].number, 75);
}

TEST(Json, writesStringsAndNumbersThatReadBack) {
    EXPECT_EQ(mtccheck::quoteJson("a\"b\\c\n\x01\xE4\xB8\xAD"),
              "\"a\\\"b\\\\c\\n\\u0001\xE4\xB8\xAD\"");
    EXPECT_EQ(mtccheck::numberJson(0.1), "0.1");
    EXPECT_EQ(mtccheck::numberJson(1733650000123.4567), "1733650000123.4568");
    EXPECT_EQ(mtccheck::numberJson(29.97), "29.97");
    EXPECT_EQ(mtccheck::numberJson(3600), "3600");
    EXPECT_EQ(mtccheck::numberJson(-120000), "-120000");
    EXPECT_EQ(mtccheck::numberJson(3650.5), "3650.5");
    EXPECT_EQ(mtccheck::numberJson(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(mtccheck::numberJson(std::numeric_limits<double>::infinity()), "null");
}

}  // namespace
