// Just enough JSON for the checks: reading the service's reply and event lines (which may hold
// an array of outputs), reading a command line as strictly as the protocol defines one, and
// writing the report file. Separate from the service's own codec on purpose: the checks judge
// the service's lines, they do not share its parser.
//
// Any thread; allocates; never blocks.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace mtccheck {

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = kNull;
    bool flag = false;
    double number = 0;
    std::string token;                                  // kNumber: the number as written
    std::string text;                                   // kString: the decoded bytes
    std::vector<Json> items;                            // kArray
    std::vector<std::pair<std::string, Json>> members;  // kObject, in order

    // The member `key` of an object, or nullptr (also when this is not an object).
    const Json* find(const std::string& key) const;
    bool isString() const { return kind == kString; }
    bool isNumber() const { return kind == kNumber; }
};

// How strictly a text is read. The defaults read any JSON a reply line could hold.
struct JsonRules {
    int deepest = 32;  // nesting of arrays and objects allowed
    // A number too large for a double is refused; otherwise it reads as infinity.
    bool finiteNumbers = false;
    // A \u escape of a surrogate must be one half of a pair in the right order; otherwise a
    // lone surrogate is kept as its three-byte form.
    bool pairedSurrogates = false;
    // A command line as the protocol defines one: at most 16384 bytes, one flat object of
    // scalars with at most 32 members, no name twice, number tokens of at most 64 bytes.
    bool commandLine = false;
};

// Parses one JSON text (surrounding white space allowed). Returns false with `error` set to
// a short English description and the byte offset when the text is not valid JSON or breaks
// one of `rules`.
bool parseJson(const std::string& text, Json& out, std::string& error,
               const JsonRules& rules = JsonRules());

// `text` as a JSON string literal with its quotes. Bytes of 0x80 and above pass unchanged
// (the host's texts are UTF-8); control characters, quote and backslash are escaped.
std::string quoteJson(const std::string& text);

// A finite number as JSON (shortest form that reads back the same, up to 17 digits); a
// number that is not finite becomes null, which JSON has no other way to say.
std::string numberJson(double value);

}  // namespace mtccheck
