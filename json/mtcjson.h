// A strict reader for one flat JSON object per line, typed member accessors, and the JSON
// string encoder used for every text the service writes. Portable, thread-agnostic, stateless.
//
// Every fault (syntax, limits, duplicate key, wrong kind) throws std::runtime_error with the
// one message "MIDI 命令格式错误。". Text is handled as bytes; UTF-8 is never validated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

namespace mtcjson {

enum class Kind : int32_t { Null = 0, String = 1, Number = 2, Boolean = 3 };

// One parsed scalar.
struct Value {
    Kind kind = Kind::Null;
    std::string text;     // String: decoded bytes
    double number = 0.0;  // Number
    bool flag = false;    // Boolean
};

// Members of one object, ordered by byte-wise key comparison.
using Members = std::map<std::string, Value>;

// Reads one object from `input` (which must outlive the parser). Build it with pos 0 and call
// parse() once. Allocates the map and strings it returns.
struct Parser {
    const std::string& input;
    size_t pos = 0;

    explicit Parser(const std::string& text) : input(text) {}
    // A temporary would be gone before parse() reads it.
    explicit Parser(const std::string&& text) = delete;

    Members parse();
    Value value();
    std::string string();
    unsigned hex4();
};

// Appends the UTF-8 encoding of code point `c` (at most 0x10FFFF) to `out`.
void utf8(std::string& out, uint32_t c);

// The format-error exception, for the caller to throw.
std::runtime_error invalid();

// Typed member accessors: throw invalid() when the member is absent or of another kind.
std::string str(const Members& members, const char* name);
double num(const Members& members, const char* name);
bool boolean(const Members& members, const char* name);

// `s` as a JSON string literal, quotation marks included: " and \ are backslash-escaped,
// bytes up to 0x1F become \u00XX (lower-case hex), every other byte is copied.
std::string quote(const std::string& s);

}  // namespace mtcjson
