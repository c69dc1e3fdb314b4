// The strict command-line reader and the string encoder, checked against literal bytes and
// literal doubles (hexadecimal float literals, so the expected values do not come from the
// conversion under test).
#include "json/mtcjson.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/kit/thrown.h"

namespace {

using mtcjson::Kind;
using mtcjson::Members;
using mtcjson::Value;

// "MIDI 命令格式错误。" spelled out byte by byte.
const std::string kFault =
    "MIDI \xE5\x91\xBD\xE4\xBB\xA4\xE6\xA0\xBC\xE5\xBC\x8F\xE9\x94\x99\xE8\xAF\xAF\xE3\x80\x82";

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

// The message of the format fault `f` throws, or a marker when it throws nothing.
std::string faultOf(const std::function<void()>& f) {
    return mtctest::thrownMessage(f, "<no fault>");
}
std::string faultOf(const std::string& text) {
    return faultOf([&] { parseAll(text); });
}

uint64_t bitsOf(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// Checks all four fields of the one member "x"; numbers bit for bit, so -0 and 0 differ.
void expectOnlyX(const std::string& text, Kind kind, const std::string& s, double n, bool flag) {
    const Members m = parseAll(text);
    ASSERT_EQ(m.size(), 1u) << text;
    ASSERT_EQ(m.count("x"), 1u) << text;
    const Value& v = m.at("x");
    EXPECT_EQ(v.kind, kind) << text;
    EXPECT_EQ(v.text, s) << text;
    EXPECT_EQ(bitsOf(v.number), bitsOf(n)) << text << " gave " << v.number;
    EXPECT_EQ(v.flag, flag) << text;
}

TEST(JsonParser, EveryMalformedOrForbiddenLineFailsWithTheOneFormatMessage) {
    const std::string lines[] = {
        // Nothing, or whitespace the reader does not count as such (BOM, FF, VT, NBSP).
        "", " \t\r\n", "\xEF\xBB\xBF{}", "{\f}", "{\v}", "\xC2\xA0{}",
        // Not one object.
        "\"x\"", "[]", "{}{}", R"({"x":true}tail)", "{", R"({"x":1)",
        // Duplicate keys, also of another kind and spelled with an escape.
        R"({"x":1,"x":2})", R"({"x":"a","x":null})", R"({"x":1,"\u0078":2})",
        // Commas, colons and keys.
        R"({"x":1,})", R"({,"x":1})", R"({"x":1,,"y":2})", R"({"x":1 "y":2})", "{x:1}", "{'x':1}",
        R"({"x" 1})", R"({"x":})", "{\"a\x02\":1}", R"({"x":1 /*c*/})",
        // Strings and escapes cut by the end of the line.
        R"({"x":"abc)", R"({"x":"\)", R"({"x":"\u12)"};
    for (const auto& line : lines) {
        EXPECT_EQ(faultOf(line), kFault) << line;
    }
    // Member values, each tried as {"x":<value>}.
    const std::string values[] = {
        // No containers, no non-finite numbers, overflow from every direction.
        "[]", "{}", R"({"y":1})", "NaN", "Infinity", "-Infinity", "1e309", "-1e309",
        "1.7976931348623159e308", "0.0000001e316", "10000000000000000000000000000000000000000e270",
        // Number grammar.
        "01", "-01", "00", "0x10", "-", "- 1", "1.", "1.e5", ".5", "+1", "1e", "1e+", "1 2",
        // Literals are exact and end at a delimiter.
        "True", "nul", "truex", "nullx",
        // Surrogates must pair.
        R"("\uDC00")", R"("\uDFFF")", R"("\uD800x")", R"("\uD800")", R"("\uD800\n")",
        R"("\uD800\uD800")", R"("\uD800\uE000")", R"("\uD800\u")",
        // Raw control bytes, tab, line feed and zero byte included.
        "\"a\tb\"", "\"a\nb\"", "\"a\x01z\"", "\"\x1F\"", std::string("\"a\0b\"", 5),
        // Escapes outside the set, and an escape cut by the closing quotation mark.
        R"("\a")", R"("\x41")", R"("\U00e9")", R"("\'")", R"("\0")", R"("\u00g9")", R"("\u12")"};
    for (const auto& value : values) {
        EXPECT_EQ(faultOf("{\"x\":" + value + "}"), kFault) << value;
    }
    EXPECT_EQ(mtcjson::invalid().what(), kFault);
}

TEST(JsonParser, ObjectsOfEveryAllowedShapeGiveTheirMembers) {
    for (const char* empty : {"{}", " \t\r\n{ \t\r\n} \n", "{}\r"}) {
        EXPECT_TRUE(parseAll(empty).empty()) << empty;
    }
    expectOnlyX("{\"x\":1}\r", Kind::Number, "", 1.0, false);  // a line that came with CR LF
    expectOnlyX(" { \"x\" :\ttrue\n}\r\n", Kind::Boolean, "", 0.0, true);
    expectOnlyX(R"({"x":false})", Kind::Boolean, "", 0.0, false);
    expectOnlyX(R"({"x":null})", Kind::Null, "", 0.0, false);

    const Members unicode = parseAll(
        "{\"trackId\":\"\xE4\xB8\xAD\xE6\x96\x87\\uD83C\\uDFB5\",\"position\":1.25,"
        "\"playing\":false,\"n\":null}");
    ASSERT_EQ(unicode.size(), 4u);
    EXPECT_EQ(mtcjson::str(unicode, "trackId"),
              bytes({0xE4, 0xB8, 0xAD, 0xE6, 0x96, 0x87, 0xF0, 0x9F, 0x8E, 0xB5}));
    EXPECT_EQ(mtcjson::num(unicode, "position"), 1.25);
    EXPECT_FALSE(mtcjson::boolean(unicode, "playing"));
    EXPECT_EQ(unicode.at("n").kind, Kind::Null);

    // The empty key is a key; keys differing in case are distinct members.
    const Members keys = parseAll(R"({"":1,"a":2,"A":"3"})");
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(mtcjson::num(keys, ""), 1.0);
    EXPECT_EQ(mtcjson::num(keys, "a"), 2.0);
    EXPECT_EQ(mtcjson::str(keys, "A"), "3");
}

TEST(JsonParser, NumbersConvertToTheNearestDoubleAndUnderflowToSignedZero) {
    const struct {
        const char* token;
        double value;
    } cases[] = {
        {"1e5", 0x1.86ap+16},
        {"1E+5", 0x1.86ap+16},
        {"0.5e-3", 0x1.0624dd2f1a9fcp-11},
        {"0.1", 0x1.999999999999ap-4},
        {"-12.5", -0x1.9p+3},
        {"9007199254740993", 0x1p+53},  // halfway: ties to even
        {"0", 0.0},
        {"-0", -0.0},
        {"-0.0e0", -0.0},
        {"0e99999", 0.0},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"1e-99999999999999999999", 0.0},
        {"100000000000000000000e-420", 0.0},
        {"-0.000001e-320", -0.0},
        {"4.9406564584124654e-324", 0x0.0000000000001p-1022},  // smallest subnormal
        {"2.4703282292062328e-324", 0x0.0000000000001p-1022},  // just above half of it
        {"-2.4703282292062327e-324", -0.0},                    // just below half of it
        {"2.2250738585072009e-308", 0x0.fffffffffffffp-1022},  // largest subnormal
        {"1.7976931348623157e308", 0x1.fffffffffffffp+1023},   // largest double
    };
    for (const auto& c : cases) {
        expectOnlyX(std::string("{\"x\":") + c.token + "}", Kind::Number, "", c.value, false);
    }
}

TEST(JsonParser, StringsDecodeEscapesAndCopyEveryOtherByte) {
    const struct {
        std::string literal;  // between the quotation marks
        std::string decoded;
    } cases[] = {
        {"", ""},
        {R"(a\u0000b)", bytes({'a', 0, 'b'})},
        {R"(\u00e9)", bytes({0xC3, 0xA9})},
        {R"(\u00E9)", bytes({0xC3, 0xA9})},
        {R"(\"\\\/\b\f\n\r\t)", bytes({0x22, 0x5C, 0x2F, 0x08, 0x0C, 0x0A, 0x0D, 0x09})},
        {R"(\u007F\u0080\u07FF\u0800\uFFFF)",
         bytes({0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF})},
        {R"(\uD800\uDC00\uDBFF\uDFFF)", bytes({0xF0, 0x90, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF})},
        {"\xFF\x7F\xC3\xFF", bytes({0xFF, 0x7F, 0xC3, 0xFF})},  // no UTF-8 validation
    };
    for (const auto& c : cases) {
        expectOnlyX("{\"x\":\"" + c.literal + "\"}", Kind::String, c.decoded, 0.0, false);
    }
}

// Steps of parse() stop where their grammar stops and leave the rest to the next step.
TEST(JsonParser, ValueReadsOnlyItsOwnToken) {
    const std::pair<std::string, size_t> cases[] = {{"01", 1},        {"true,", 4},    {"truex", 4},
                                                    {"null}", 4},     {"-12.5e3}", 7}, {"1.5.3", 3},
                                                    {R"("a\"b"x)", 6}};
    for (const auto& c : cases) {
        mtcjson::Parser parser(c.first);
        parser.value();
        EXPECT_EQ(parser.pos, c.second) << c.first;
    }
}

TEST(JsonParser, LimitsHoldExactlyAtTheirEdges) {
    // Number tokens: 1.0 and -1.0, each written in 64 and in 65 bytes.
    const std::string zeros(58, '0');
    for (const std::string& token : {"1" + zeros + "0e-59", "-1" + zeros + "e-58"}) {
        ASSERT_EQ(token.size(), 64u);
        EXPECT_EQ(std::abs(mtcjson::num(parseAll("{\"x\":" + token + "}"), "x")), 1.0);
    }
    for (const std::string& token : {"1" + zeros + "00e-60", "-1" + zeros + "0e-59"}) {
        ASSERT_EQ(token.size(), 65u);
        EXPECT_EQ(faultOf("{\"x\":" + token + "}"), kFault) << token;
    }

    // Members: 32 are read, a 33rd fails.
    std::string object = "{\"k0\":0";
    for (int i = 1; i < 32; ++i) {
        object += ",\"k" + std::to_string(i) + "\":" + std::to_string(i);
    }
    const Members full = parseAll(object + "}");
    EXPECT_EQ(full.size(), 32u);
    EXPECT_EQ(mtcjson::num(full, "k31"), 31.0);
    EXPECT_EQ(faultOf(object + ",\"k32\":32}"), kFault);

    // Input: 16384 bytes are read; 16385 fail before the first byte is looked at.
    const std::string padded = std::string(16382, ' ') + "{}";
    EXPECT_TRUE(parseAll(padded).empty());
    const std::string filler(16384 - 8, 'a');
    EXPECT_EQ(mtcjson::str(parseAll("{\"x\":\"" + filler + "\"}"), "x"), filler);
    EXPECT_EQ(faultOf("{\"x\":\"" + filler + "a\"}"), kFault);
    const std::string tooLong = " " + padded;
    mtcjson::Parser parser(tooLong);
    EXPECT_EQ(faultOf([&] { parser.parse(); }), kFault);
    EXPECT_EQ(parser.pos, 0u);
}

TEST(JsonAccessors, EachAccessorReturnsOnlyItsOwnKindAndNeverConverts) {
    const Members m = parseAll(R"({"s":"text","n":2.5,"t":true,"z":null,"ns":"1","bn":1})");
    EXPECT_EQ(mtcjson::str(m, "s"), "text");
    EXPECT_EQ(mtcjson::num(m, "n"), 2.5);
    EXPECT_TRUE(mtcjson::boolean(m, "t"));
    // Every other pairing of accessor and member fails, as do absent and case-changed names.
    const std::pair<std::string, std::vector<const char*>> failing[] = {
        {"str", {"n", "t", "z", "bn", "missing", "S", ""}},
        {"num", {"s", "t", "z", "ns", "missing", "N"}},
        {"boolean", {"s", "n", "z", "ns", "bn", "missing", "T"}}};
    for (const auto& accessor : failing) {
        for (const char* name : accessor.second) {
            const std::string fault = faultOf([&] {
                if (accessor.first == "str") {
                    mtcjson::str(m, name);
                } else if (accessor.first == "num") {
                    mtcjson::num(m, name);
                } else {
                    mtcjson::boolean(m, name);
                }
            });
            EXPECT_EQ(fault, kFault) << accessor.first << " of \"" << name << "\"";
        }
    }
}

// strtod would stop at the '.' under such a locale; runs where the platform has one (Wine does).
TEST(JsonParser, NumbersIgnoreTheDecimalPointOfTheCLocale) {
    const char* chosen = nullptr;
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "German_Germany.1252", "French"}) {
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
    const std::pair<std::string, std::string> cases[] = {
        {"", R"("")"},
        {kFault, "\"" + kFault + "\""},
        {bytes({'"', '\\', '\n', 0}), R"("\"\\\u000a\u0000")"},
        {"a\"b", R"("a\"b")"},
        {"\t\x08\x0C\r", R"("\u0009\u0008\u000c\u000d")"},
        {"\x0B\x10\x1A\x1F", R"("\u000b\u0010\u001a\u001f")"},
        {" /~\x7F\x80\xC3\xA9\xFF", "\" /~\x7F\x80\xC3\xA9\xFF\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mtcjson::quote(c.first), c.second);
    }
}

// Random byte strings, weighted towards the bytes that need care, survive quoting and reading
// back: through the string reader alone, and as key and value of a line.
TEST(JsonQuote, AnyByteStringReadsBackUnchanged) {
    std::mt19937 random(20240611u);
    const int special[] = {0x00, 0x09, 0x0A, 0x0D, 0x1F, 0x20, 0x22, 0x2F, 0x5C, 0x75, 0x7F, 0xFF};
    for (int round = 0; round < 3000; ++round) {
        std::string s(random() % 48, '\0');
        for (char& ch : s) {
            const unsigned r = random();
            ch = static_cast<char>(r % 3 == 0 ? special[(r >> 8) % 12] : (r >> 8) & 0xFF);
        }
        const std::string quoted = mtcjson::quote(s);
        for (const char ch : quoted) {
            ASSERT_GT(static_cast<unsigned char>(ch), 0x1F) << "control byte left unescaped";
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
