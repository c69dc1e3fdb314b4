#include "check/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace mtccheck {
namespace {

constexpr size_t kLongestCommand = 16384;
constexpr size_t kMostCommandMembers = 32;
constexpr size_t kLongestCommandNumber = 64;

class Reader {
  public:
    Reader(const std::string& text, const JsonRules& rules) : s_(text), rules_(rules) {}

    bool document(Json& out, std::string& error) {
        if (rules_.commandLine && s_.size() > kLongestCommand) {
            error = "a command line longer than " + std::to_string(kLongestCommand) + " bytes";
            return false;
        }
        space();
        if (rules_.commandLine && !next('{')) {
            error = "a command line that is not an object at byte " + std::to_string(pos_);
            return false;
        }
        if (!value(out, 0)) {
            error = error_ + " at byte " + std::to_string(pos_);
            return false;
        }
        space();
        if (pos_ != s_.size()) {
            error = "text after the value at byte " + std::to_string(pos_);
            return false;
        }
        return true;
    }

  private:
    bool fail(const char* what) {
        error_ = what;
        return false;
    }

    // True when the next character is `c`.
    bool next(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
    // Consumes the next character when it is `c`; true when it did.
    bool eat(char c) {
        if (!next(c)) {
            return false;
        }
        ++pos_;
        return true;
    }
    // Consumes a run of decimal digits (perhaps none).
    void digits() {
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
            ++pos_;
        }
    }

    void space() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) {
            ++pos_;
        }
    }

    bool literal(const char* word) {
        size_t n = 0;
        while (word[n] != '\0') {
            if (pos_ + n >= s_.size() || s_[pos_ + n] != word[n]) {
                return fail("unknown literal");
            }
            ++n;
        }
        pos_ += n;
        return true;
    }

    bool value(Json& out, int depth) {
        if (depth > rules_.deepest) {
            return fail("nested too deeply");
        }
        if (pos_ >= s_.size()) {
            return fail("value expected");
        }
        const char c = s_[pos_];
        if ((c == '{' && depth > 0 && rules_.commandLine) || (c == '[' && rules_.commandLine)) {
            return fail("a command line holds scalars only");
        }
        if (c == '{') {
            return object(out, depth);
        }
        if (c == '[') {
            return array(out, depth);
        }
        if (c == '"') {
            out.kind = Json::kString;
            return string(out.text);
        }
        if (c == 't') {
            out.kind = Json::kBool;
            out.flag = true;
            return literal("true");
        }
        if (c == 'f') {
            out.kind = Json::kBool;
            out.flag = false;
            return literal("false");
        }
        if (c == 'n') {
            out.kind = Json::kNull;
            return literal("null");
        }
        return number(out);
    }

    // What follows the opening bracket of an object or an array: elements separated by commas,
    // each read by `element`, up to `close`.
    template <typename Element>
    bool elements(char close, const char* expected, Element element) {
        ++pos_;
        space();
        if (eat(close)) {
            return true;
        }
        for (;;) {
            space();
            if (!element()) {
                return false;
            }
            space();
            if (eat(',')) {
                continue;
            }
            if (eat(close)) {
                return true;
            }
            return fail(expected);
        }
    }

    bool object(Json& out, int depth) {
        out.kind = Json::kObject;
        return elements('}', "',' or '}' expected", [&] {
            std::string key;
            if (!next('"')) {
                return fail("member name expected");
            }
            if (!string(key)) {
                return false;
            }
            space();
            if (!eat(':')) {
                return fail("':' expected");
            }
            space();
            Json member;
            if (!value(member, depth + 1)) {
                return false;
            }
            if (rules_.commandLine &&
                (out.members.size() >= kMostCommandMembers || out.find(key) != nullptr)) {
                return fail("too many members, or a name twice, in a command line");
            }
            out.members.emplace_back(std::move(key), std::move(member));
            return true;
        });
    }

    bool array(Json& out, int depth) {
        out.kind = Json::kArray;
        return elements(']', "',' or ']' expected", [&] {
            Json item;
            if (!value(item, depth + 1)) {
                return false;
            }
            out.items.push_back(std::move(item));
            return true;
        });
    }

    static void appendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool hex4(unsigned& unit) {
        if (pos_ + 4 > s_.size()) {
            return fail("short \\u escape");
        }
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = s_[pos_++];
            unit <<= 4;
            if (h >= '0' && h <= '9') {
                unit |= static_cast<unsigned>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
                unit |= static_cast<unsigned>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                unit |= static_cast<unsigned>(h - 'A' + 10);
            } else {
                return fail("bad \\u escape");
            }
        }
        return true;
    }

    // Under the strict rule: a low surrogate alone, or a high one not followed at once by a
    // \u escape of a low one, is refused; a pair becomes the one character it encodes.
    bool pairedSurrogate(unsigned& unit) {
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return fail("lone low surrogate");
        }
        if (unit < 0xD800 || unit > 0xDBFF) {
            return true;
        }
        if (pos_ + 2 > s_.size() || s_[pos_] != '\\' || s_[pos_ + 1] != 'u') {
            return fail("lone high surrogate");
        }
        pos_ += 2;
        unsigned low = 0;
        if (!hex4(low)) {
            return false;
        }
        if (low < 0xDC00 || low > 0xDFFF) {
            return fail("lone high surrogate");
        }
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        return true;
    }

    bool string(std::string& out) {
        ++pos_;  // opening quote
        out.clear();
        while (pos_ < s_.size()) {
            const char c = s_[pos_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail("control character in string");
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) {
                break;
            }
            const char e = s_[pos_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned unit = 0;
                    if (!hex4(unit)) {
                        return false;
                    }
                    if (rules_.pairedSurrogates) {
                        if (!pairedSurrogate(unit)) {
                            return false;
                        }
                    } else if (unit >= 0xD800 && unit < 0xDC00 && pos_ + 6 <= s_.size() &&
                               s_[pos_] == '\\' && s_[pos_ + 1] == 'u') {
                        const size_t back = pos_;
                        pos_ += 2;
                        unsigned low = 0;
                        if (!hex4(low)) {
                            return false;
                        }
                        if (low >= 0xDC00 && low < 0xE000) {
                            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                        } else {
                            pos_ = back;  // a lone high surrogate; keep the next escape
                        }
                    }
                    appendUtf8(out, unit);
                    break;
                }
                default:
                    return fail("bad escape");
            }
        }
        return fail("unterminated string");
    }

    bool number(Json& out) {
        const size_t start = pos_;
        eat('-');
        const size_t intStart = pos_;
        digits();
        if (pos_ == intStart || (s_[intStart] == '0' && pos_ - intStart > 1)) {
            return fail("bad number");
        }
        if (eat('.')) {
            const size_t fracStart = pos_;
            digits();
            if (pos_ == fracStart) {
                return fail("bad number");
            }
        }
        if (eat('e') || eat('E')) {
            if (!eat('+')) {
                eat('-');
            }
            const size_t expStart = pos_;
            digits();
            if (pos_ == expStart) {
                return fail("bad number");
            }
        }
        out.kind = Json::kNumber;
        out.token = s_.substr(start, pos_ - start);
        if (rules_.commandLine && out.token.size() > kLongestCommandNumber) {
            return fail("number longer than a command line allows");
        }
        // The JSON number grammar is a subset of what strtod reads in the "C" locale, which
        // the checks never change. strtod is correctly rounded; too large a magnitude gives
        // infinity, too small zero or a subnormal, which JSON readers accept as such.
        out.number = std::strtod(out.token.c_str(), nullptr);
        if (rules_.finiteNumbers && !std::isfinite(out.number)) {
            return fail("number out of range");
        }
        return true;
    }

    const std::string& s_;
    const JsonRules& rules_;
    size_t pos_ = 0;
    std::string error_;
};

}  // namespace

const Json* Json::find(const std::string& key) const {
    if (kind != kObject) {
        return nullptr;
    }
    for (const auto& m : members) {
        if (m.first == key) {
            return &m.second;
        }
    }
    return nullptr;
}

bool parseJson(const std::string& text, Json& out, std::string& error, const JsonRules& rules) {
    out = Json();
    return Reader(text, rules).document(out, error);
}

std::string quoteJson(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string numberJson(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char text[40];
    if (value == std::floor(value) && std::fabs(value) < 1e17) {
        // Whole numbers in full ("3600", not "3.6e+03", which %g would choose).
        std::snprintf(text, sizeof text, "%.0f", value);
        return text;
    }
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) {
            break;
        }
    }
    return text;
}

}  // namespace mtccheck
