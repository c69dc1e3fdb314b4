// Just enough JSON for the host: reading the service's reply and event lines (which may hold
// an array of outputs) and writing the report file. Separate from the service's own codec on
// purpose: the host checks the service's lines, it does not share its parser.
//
// Any thread; allocates; never blocks.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace mtchost {

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = kNull;
    bool flag = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;                            // kArray
    std::vector<std::pair<std::string, Json>> members;  // kObject, in order

    // The member `key` of an object, or nullptr (also when this is not an object).
    const Json* find(const std::string& key) const;
    bool isString() const { return kind == kString; }
    bool isNumber() const { return kind == kNumber; }
};

// Parses one JSON text (surrounding white space allowed). Returns false with `error` set to
// a short English description and the byte offset when the text is not valid JSON.
bool parseJson(const std::string& text, Json& out, std::string& error);

// `text` as a JSON string literal with its quotes. Bytes of 0x80 and above pass unchanged
// (the host's texts are UTF-8); control characters, quote and backslash are escaped.
std::string quoteJson(const std::string& text);

// A finite number as JSON (shortest form that reads back the same, up to 17 digits); a
// number that is not finite becomes null, which JSON has no other way to say.
std::string numberJson(double value);

}  // namespace mtchost
