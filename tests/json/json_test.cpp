// The strict command-line reader and the string encoder, checked against literal bytes and
// literal doubles (hexadecimal float literals, so the expected values do not come from the
// conversion under test).
#include "json/mtcjson.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using mtcjson::Kind;
using mtcjson::Members;
using mtcjson::Value;

// "MIDI 命令格式错误。" spelled out byte by byte.
const std::string kFault =
    "MIDI \xE5\x91\xBD\xE4\xBB\xA4\xE6\xA0\xBC\xE5\xBC\x8F\xE9\x94\x99\xE8\xAF\xAF\xE3\x80\x82";

// Builds a byte string that may hold zero bytes.
std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) {
        out.push_back(static_cast<char>(b));
    }
    return out;
}

Members parseAll(const std::string& text) {
    mtcjson::Parser parser(text);
    Members members = parser.parse();
    EXPECT_EQ(parser.pos, text.size());
    return members;
}

// The message of the exception a parse throws, or a marker when it does not throw.
std::string faultOf(const std::string& text) {
    mtcjson::Parser parser(text);
    try {
        parser.parse();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<parsed>";
}

uint64_t bitsOf(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

Value stringValue(std::string text) {
    Value v;
    v.kind = Kind::String;
    v.text = std::move(text);
    return v;
}
Value numberValue(double number) {
    Value v;
    v.kind = Kind::Number;
    v.number = number;
    return v;
}
Value booleanValue(bool flag) {
    Value v;
    v.kind = Kind::Boolean;
    v.flag = flag;
    return v;
}
const Value kNull;

// Compares all four fields; numbers bit for bit, so -0 and 0 differ.
void expectMembers(const Members& got, const std::vector<std::pair<std::string, Value>>& want,
                   const std::string& context) {
    ASSERT_EQ(got.size(), want.size()) << context;
    for (const auto& w : want) {
        const auto found = got.find(w.first);
        ASSERT_NE(found, got.end()) << context << " key " << w.first;
        const Value& v = found->second;
        EXPECT_EQ(v.kind, w.second.kind) << context;
        EXPECT_EQ(v.text, w.second.text) << context;
        EXPECT_EQ(bitsOf(v.number), bitsOf(w.second.number)) << context << " " << v.number;
        EXPECT_EQ(v.flag, w.second.flag) << context;
    }
}

TEST(JsonParser, EveryMalformedOrForbiddenLineFailsWithTheOneFormatMessage) {
    const struct {
        const char* why;
        std::string text;
    } cases[] = {
        {"empty input", ""},
        {"all whitespace", " \t\r\n"},
        {"byte-order mark is not whitespace", "\xEF\xBB\xBF{}"},
        {"form feed is not whitespace", "{\f}"},
        {"vertical tab is not whitespace", "{\v}"},
        {"no-break space is not whitespace", "\xC2\xA0{}"},
        {"not an object", "\"x\""},
        {"top-level array", "[]"},
        {"duplicate key", R"({"x":1,"x":2})"},
        {"duplicate key of another kind", R"({"x":"a","x":null})"},
        {"duplicate key spelled with an escape", R"({"x":1,"\u0078":2})"},
        {"NaN", R"({"x":NaN})"},
        {"Infinity", R"({"x":Infinity})"},
        {"negative Infinity", R"({"x":-Infinity})"},
        {"overflow to infinity", R"({"x":1e309})"},
        {"negative overflow", R"({"x":-1e309})"},
        {"just above the largest double", R"({"x":1.7976931348623159e308})"},
        {"overflow written with a fraction", R"({"x":0.0000001e316})"},
        {"overflow written with a long integer part",
         R"({"x":10000000000000000000000000000000000000000e270})"},
        {"array value", R"({"x":[]})"},
        {"nested empty object", R"({"x":{}})"},
        {"nested object", R"({"x":{"y":1}})"},
        {"leading zero", R"({"x":01})"},
        {"negative leading zero", R"({"x":-01})"},
        {"double zero", R"({"x":00})"},
        {"hexadecimal number", R"({"x":0x10})"},
        {"text after the object", R"({"x":true}tail)"},
        {"second object", "{}{}"},
        {"lone low surrogate", R"({"x":"\uDC00"})"},
        {"lone low surrogate at the top", R"({"x":"\uDFFF"})"},
        {"high surrogate then a letter", R"({"x":"\uD800x"})"},
        {"high surrogate at the end of the string", R"({"x":"\uD800"})"},
        {"high surrogate then another escape", R"({"x":"\uD800\n"})"},
        {"two high surrogates", R"({"x":"\uD800\uD800"})"},
        {"high surrogate then a non-surrogate", R"({"x":"\uD800\uE000"})"},
        {"high surrogate then a cut escape", R"({"x":"\uD800\u"})"},
        {"trailing comma", R"({"x":1,})"},
        {"leading comma", R"({,"x":1})"},
        {"double comma", R"({"x":1,,"y":2})"},
        {"members without a comma", R"({"x":1 "y":2})"},
        {"minus without digits", R"({"x":-})"},
        {"minus then space", R"({"x":- 1})"},
        {"point without fraction digits", R"({"x":1.})"},
        {"point then exponent", R"({"x":1.e5})"},
        {"leading point", R"({"x":.5})"},
        {"leading plus", R"({"x":+1})"},
        {"exponent without digits", R"({"x":1e})"},
        {"signed exponent without digits", R"({"x":1e+})"},
        {"space inside a number", R"({"x":1 2})"},
        {"raw tab in a string", "{\"x\":\"a\tb\"}"},
        {"raw line feed in a string", "{\"x\":\"a\nb\"}"},
        {"raw 0x01 in a string", "{\"x\":\"a\x01z\"}"},
        {"raw 0x1F in a string", "{\"x\":\"\x1F\"}"},
        {"raw zero byte in a string", std::string("{\"x\":\"a\0b\"}", 10)},
        {"raw control byte in a key", "{\"a\x02\":1}"},
        {"unknown escape", R"({"x":"\a"})"},
        {"hexadecimal byte escape", R"({"x":"\x41"})"},
        {"upper-case u escape", R"({"x":"\U00e9"})"},
        {"single-quote escape", R"({"x":"\'"})"},
        {"zero escape", R"({"x":"\0"})"},
        {"non-hex digit in an escape", R"({"x":"\u00g9"})"},
        {"escape cut by the quote", R"({"x":"\u12"})"},
        {"escape cut by the end", R"({"x":"\u12)"},
        {"backslash at the end", R"({"x":"\)"},
        {"unterminated string", R"({"x":"abc)"},
        {"unterminated object", R"({"x":1)"},
        {"only an opening brace", "{"},
        {"unquoted key", "{x:1}"},
        {"single-quoted key", "{'x':1}"},
        {"missing colon", R"({"x" 1})"},
        {"missing value", R"({"x":})"},
        {"capitalised literal", R"({"x":True})"},
        {"cut literal", R"({"x":nul})"},
        {"letter after a literal", R"({"x":truex})"},
        {"letter after null", R"({"x":nullx})"},
        {"comment", R"({"x":1 /*c*/})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(faultOf(c.text), kFault) << c.why;
    }
    EXPECT_EQ(std::string(mtcjson::invalid().what()), kFault);
}

TEST(JsonParser, AcceptedFormsGiveExactlyTheseMembers) {
    const struct {
        const char* why;
        std::string text;
        std::vector<std::pair<std::string, Value>> members;
    } cases[] = {
        {"empty object", "{}", {}},
        {"empty object with whitespace inside and around", " \t\r\n{ \t\r\n} \n", {}},
        {"line that came with CR LF", "{\"x\":1}\r", {{"x", numberValue(1.0)}}},
        {"whitespace everywhere allowed",
         " { \"x\" : 1 ,\t\"y\"\r:\n\"z\" } ",
         {{"x", numberValue(1.0)}, {"y", stringValue("z")}}},
        {"the three literals",
         R"({"t":true,"f":false,"n":null})",
         {{"t", booleanValue(true)}, {"f", booleanValue(false)}, {"n", kNull}}},
        {"exponent", R"({"x":1e5})", {{"x", numberValue(0x1.86ap+16)}}},
        {"capital exponent with plus", R"({"x":1E+5})", {{"x", numberValue(0x1.86ap+16)}}},
        {"fraction and negative exponent",
         R"({"x":0.5e-3})",
         {{"x", numberValue(0x1.0624dd2f1a9fcp-11)}}},
        {"one tenth rounded to nearest",
         R"({"x":0.1})",
         {{"x", numberValue(0x1.999999999999ap-4)}}},
        {"tie rounds to even", R"({"x":9007199254740993})", {{"x", numberValue(0x1p+53)}}},
        {"zero", R"({"x":0})", {{"x", numberValue(0.0)}}},
        {"negative zero", R"({"x":-0})", {{"x", numberValue(-0.0)}}},
        {"negative zero with fraction", R"({"x":-0.0e0})", {{"x", numberValue(-0.0)}}},
        {"underflow gives zero", R"({"x":1e-400})", {{"x", numberValue(0.0)}}},
        {"negative underflow gives negative zero", R"({"x":-1e-400})", {{"x", numberValue(-0.0)}}},
        {"huge negative exponent", R"({"x":1e-99999999999999999999})", {{"x", numberValue(0.0)}}},
        {"zero with a huge exponent", R"({"x":0e99999})", {{"x", numberValue(0.0)}}},
        {"underflow written with a long integer part",
         R"({"x":100000000000000000000e-420})",
         {{"x", numberValue(0.0)}}},
        {"underflow written with a fraction",
         R"({"x":-0.000001e-320})",
         {{"x", numberValue(-0.0)}}},
        {"smallest subnormal",
         R"({"x":4.9406564584124654e-324})",
         {{"x", numberValue(0x0.0000000000001p-1022)}}},
        {"just above half the smallest subnormal",
         R"({"x":2.4703282292062328e-324})",
         {{"x", numberValue(0x0.0000000000001p-1022)}}},
        {"just below half the smallest subnormal",
         R"({"x":-2.4703282292062327e-324})",
         {{"x", numberValue(-0.0)}}},
        {"largest subnormal",
         R"({"x":2.2250738585072009e-308})",
         {{"x", numberValue(0x0.fffffffffffffp-1022)}}},
        {"largest double",
         R"({"x":1.7976931348623157e308})",
         {{"x", numberValue(0x1.fffffffffffffp+1023)}}},
        {"negative with fraction", R"({"x":-12.5})", {{"x", numberValue(-12.5)}}},
        {"Unicode example",
         "{\"trackId\":\"\xE4\xB8\xAD\xE6\x96\x87\\uD83C\\uDFB5\",\"position\":1.25,"
         "\"playing\":false,\"n\":null}",
         {{"trackId",
           stringValue(bytes({0xE4, 0xB8, 0xAD, 0xE6, 0x96, 0x87, 0xF0, 0x9F, 0x8E, 0xB5}))},
          {"position", numberValue(1.25)},
          {"playing", booleanValue(false)},
          {"n", kNull}}},
        {"escaped zero code point",
         R"({"x":"a\u0000b"})",
         {{"x", stringValue(bytes({'a', 0, 'b'}))}}},
        {"lower-case hex escape", R"({"x":"\u00e9"})", {{"x", stringValue(bytes({0xC3, 0xA9}))}}},
        {"upper-case hex escape", R"({"x":"\u00E9"})", {{"x", stringValue(bytes({0xC3, 0xA9}))}}},
        {"two-byte escapes",
         R"({"x":"\"\\\/\b\f\n\r\t"})",
         {{"x", stringValue(bytes({0x22, 0x5C, 0x2F, 0x08, 0x0C, 0x0A, 0x0D, 0x09}))}}},
        {"UTF-8 length boundaries",
         R"({"x":"\u007F\u0080\u07FF\u0800\uFFFF\uD800\uDC00\uDBFF\uDFFF"})",
         {{"x", stringValue(bytes({0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF,
                                   0xF0, 0x90, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF}))}}},
        {"raw 0xFF, DEL and malformed UTF-8 pass unchanged",
         "{\"x\":\"\xFF\x7F\xC3\xFF\"}",
         {{"x", stringValue(bytes({0xFF, 0x7F, 0xC3, 0xFF}))}}},
        {"empty key", R"({"":1})", {{"", numberValue(1.0)}}},
        {"keys differing only in case are two members",
         R"({"a":1,"A":"x"})",
         {{"a", numberValue(1.0)}, {"A", stringValue("x")}}},
        {"empty string value", R"({"x":""})", {{"x", stringValue("")}}},
    };
    for (const auto& c : cases) {
        expectMembers(parseAll(c.text), c.members, c.why);
    }
}

// Steps of parse() stop where their grammar stops and leave the rest for the next step.
TEST(JsonParser, ValueReadsOnlyItsOwnTokenAndLeavesTheRest) {
    const struct {
        std::string text;
        size_t pos;
    } cases[] = {
        {"01", 1},       {"true,", 4}, {"truex", 4},      {"null}", 4},
        {"-12.5e3}", 7}, {"1.5.3", 3}, {R"("a\"b"x)", 6},
    };
    for (const auto& c : cases) {
        mtcjson::Parser parser(c.text);
        parser.value();
        EXPECT_EQ(parser.pos, c.pos) << c.text;
    }
}

TEST(JsonParser, LimitsHoldExactlyAtTheirEdges) {
    // Number tokens: the same value, 1.0, written in 64 and in 65 bytes.
    const std::string number64 = "1" + std::string(59, '0') + "e-59";
    const std::string number65 = "1" + std::string(60, '0') + "e-60";
    const std::string negative64 = "-1" + std::string(58, '0') + "e-58";
    const std::string negative65 = "-1" + std::string(59, '0') + "e-59";
    ASSERT_EQ(number64.size(), 64u);
    ASSERT_EQ(negative65.size(), 65u);
    EXPECT_EQ(mtcjson::num(parseAll("{\"x\":" + number64 + "}"), "x"), 1.0);
    EXPECT_EQ(mtcjson::num(parseAll("{\"x\":" + negative64 + "}"), "x"), -1.0);
    EXPECT_EQ(faultOf("{\"x\":" + number65 + "}"), kFault);
    EXPECT_EQ(faultOf("{\"x\":" + negative65 + "}"), kFault);

    // Members: 32 are read, a 33rd fails.
    std::string object = "{";
    for (int i = 0; i < 32; ++i) {
        object += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
    }
    EXPECT_EQ(parseAll(object + "}").size(), 32u);
    EXPECT_EQ(mtcjson::num(parseAll(object + "}"), "k31"), 31.0);
    EXPECT_EQ(faultOf(object + ",\"k32\":32}"), kFault);

    // Input size: 16384 bytes are read; 16385 fail before the first byte is looked at.
    const std::string padded16384 = std::string(16382, ' ') + "{}";
    EXPECT_TRUE(parseAll(padded16384).empty());
    const std::string filler(16384 - 8, 'a');
    EXPECT_EQ(mtcjson::str(parseAll("{\"x\":\"" + filler + "\"}"), "x"), filler);
    const std::string padded16385 = " " + padded16384;
    mtcjson::Parser tooLong(padded16385);
    EXPECT_THROW(tooLong.parse(), std::runtime_error);
    EXPECT_EQ(tooLong.pos, 0u);
    EXPECT_EQ(faultOf("{\"x\":\"" + filler + "a\"}"), kFault);
}

TEST(JsonAccessors, EachAccessorReturnsOnlyItsOwnKindAndNeverConverts) {
    const Members m =
        parseAll(R"({"s":"text","n":2.5,"t":true,"f":false,"z":null,"ns":"1","bn":1,"T":"x"})");
    EXPECT_EQ(mtcjson::str(m, "s"), "text");
    EXPECT_EQ(mtcjson::num(m, "n"), 2.5);
    EXPECT_TRUE(mtcjson::boolean(m, "t"));
    EXPECT_FALSE(mtcjson::boolean(m, "f"));
    EXPECT_EQ(mtcjson::str(m, "T"), "x");

    enum Accessor { Str, Num, Bool };
    const struct {
        Accessor accessor;
        const char* key;
    } failing[] = {
        {Str, "missing"}, {Num, "missing"}, {Bool, "missing"}, {Str, "z"},  {Num, "z"},
        {Bool, "z"},      {Str, "n"},       {Num, "s"},        {Num, "ns"}, {Bool, "bn"},
        {Bool, "s"},      {Str, "t"},       {Num, "t"},        {Bool, "n"}, {Str, "S"},
        {Bool, "T"},      {Str, "t "},      {Str, ""},
    };
    for (const auto& c : failing) {
        try {
            switch (c.accessor) {
                case Str:
                    mtcjson::str(m, c.key);
                    break;
                case Num:
                    mtcjson::num(m, c.key);
                    break;
                case Bool:
                    mtcjson::boolean(m, c.key);
                    break;
            }
            ADD_FAILURE() << "accessor " << c.accessor << " of \"" << c.key << "\" did not throw";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), kFault) << c.key;
        }
    }
}

TEST(JsonParser, NumbersIgnoreTheDecimalPointOfTheCLocale) {
    const char* names[] = {"de_DE.UTF-8", "de_DE", "fr_FR.UTF-8", "German_Germany.1252", "French"};
    const char* chosen = nullptr;
    for (const char* name : names) {
        if (std::setlocale(LC_ALL, name) && std::localeconv()->decimal_point[0] == ',') {
            chosen = name;
            break;
        }
    }
    if (!chosen) {
        std::setlocale(LC_ALL, "C");
        GTEST_SKIP() << "no locale with a decimal comma here";
    }
    const double got = mtcjson::num(parseAll(R"({"x":1.5})"), "x");
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(got, 1.5) << chosen;
}

TEST(JsonQuote, EscapesExactlyQuoteBackslashAndControlBytes) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", R"("")"},
        {kFault, "\"" + kFault + "\""},
        {bytes({'"', '\\', '\n', 0}), R"("\"\\\u000a\u0000")"},
        {"a\"b", R"("a\"b")"},
        {"\t", R"("\u0009")"},
        {"\x08\x0C\r", R"("\u0008\u000c\u000d")"},
        {"\x0B\x10\x1A\x1F", R"("\u000b\u0010\u001a\u001f")"},
        {" /~\x7F", "\" /~\x7F\""},
        {"\x80\xC3\xA9\xFF", "\"\x80\xC3\xA9\xFF\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mtcjson::quote(c.in), c.out);
    }
}

// Random byte strings, weighted towards the bytes that need care, survive quoting and reading
// back, as a string value, as a key and through the string reader alone.
TEST(JsonQuote, AnyByteStringReadsBackUnchanged) {
    std::mt19937 random(20240611u);
    const int special[] = {0x00, 0x09, 0x0A, 0x0D, 0x1F, 0x20, 0x22,
                           0x2F, 0x5C, 0x75, 0x7F, 0x80, 0xFF};
    for (int round = 0; round < 3000; ++round) {
        std::string s(random() % 48, '\0');
        for (char& ch : s) {
            const unsigned r = random();
            ch = static_cast<char>(r % 3 == 0 ? special[(r >> 8) % 13] : (r >> 8) & 0xFF);
        }
        const std::string quoted = mtcjson::quote(s);
        for (const char ch : quoted) {
            ASSERT_GT(static_cast<unsigned char>(ch), 0x1F) << "a control byte left unescaped";
        }
        mtcjson::Parser reader(quoted);
        ASSERT_EQ(reader.string(), s);
        ASSERT_EQ(reader.pos, quoted.size());
        const Members m = parseAll("{" + quoted + ":" + quoted + "}");
        ASSERT_EQ(m.size(), 1u);
        ASSERT_EQ(m.begin()->first, s);
        ASSERT_EQ(m.begin()->second.kind, Kind::String);
        ASSERT_EQ(m.begin()->second.text, s);
    }
}

}  // namespace
