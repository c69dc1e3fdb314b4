// The strict command-line reader and the string encoder.
//
// The host's lines are machine-written, so every deviation is treated as a protocol fault
// rather than something to repair: one exception, one message, no partial result. The
// reader makes a single forward pass and never recurses, so a hostile line costs at most one
// scan of its (bounded) bytes.
#include "json/mtcjson.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace mtcjson {

namespace {

// A line longer than this is refused before it is looked at; the reader thread never queues
// longer lines either, so this only guards callers that feed the parser directly.
constexpr size_t kMaxInput = 16384;
// Enough for every command the host sends, small enough to bound the map per line.
constexpr size_t kMaxMembers = 32;
// Longer than any double needs (17 significant digits plus sign, point and exponent), short
// enough that the decimal conversion works on a bounded token.
constexpr size_t kMaxNumber = 64;

const char kMessage[] = "MIDI 命令格式错误。";

bool isSpace(unsigned char b) {
    return b == 0x20 || b == 0x0A || b == 0x0D || b == 0x09;
}
bool isDigit(unsigned char b) {
    return b >= '0' && b <= '9';
}

int hexDigit(unsigned char b) {
    if (b >= '0' && b <= '9') {
        return b - '0';
    }
    if (b >= 'a' && b <= 'f') {
        return b - 'a' + 10;
    }
    if (b >= 'A' && b <= 'F') {
        return b - 'A' + 10;
    }
    return -1;
}

void skipSpace(const std::string& in, size_t& pos) {
    while (pos < in.size() && isSpace(static_cast<unsigned char>(in[pos]))) {
        ++pos;
    }
}

// Decides, for a token the decimal conversion reported as out of range, whether its magnitude
// is at least 1 (overflow: refused) or below 1 (underflow: signed zero). The conversion does
// not say which, and leaves its output untouched, so the token itself is read: the decimal
// exponent of the first significant digit is the explicit exponent plus the digit's place.
// Out-of-range values sit beyond 1e308 or below 1e-323, far from 1 on either side, so this
// coarse test cannot misjudge. The token has already matched the number grammar.
bool magnitudeAtLeastOne(const char* p, const char* end) {
    if (p != end && *p == '-') {
        ++p;
    }
    // The integer part is a lone 0 or starts with a non-zero digit.
    const char* integer = p;
    while (p != end && isDigit(static_cast<unsigned char>(*p))) {
        ++p;
    }
    bool found = *integer != '0';
    // Exponent of the first significant digit, before the explicit exponent is added.
    long lead = found ? static_cast<long>(p - integer) - 1 : 0;
    if (p != end && *p == '.') {
        ++p;
        long place = 0;
        while (p != end && isDigit(static_cast<unsigned char>(*p))) {
            --place;
            if (!found && *p != '0') {
                found = true;
                lead = place;
            }
            ++p;
        }
    }
    if (!found) {
        return false;  // zero is never out of range; treat it as the harmless side
    }
    long exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p != end && (*p == '+' || *p == '-')) {
            negative = *p == '-';
            ++p;
        }
        // Saturate: the token is at most 64 bytes, so the place is within +-64 and any
        // exponent beyond a million already decides the answer.
        while (p != end && isDigit(static_cast<unsigned char>(*p))) {
            if (exponent < 1000000) {
                exponent = exponent * 10 + (*p - '0');
            }
            ++p;
        }
        if (negative) {
            exponent = -exponent;
        }
    }
    return lead + exponent >= 0;
}

}  // namespace

// Any thread. Allocates the exception's message.
std::runtime_error invalid() {
    return std::runtime_error(kMessage);
}

// Any thread; reads only `input`, which the caller keeps alive and unchanged. Allocates the map
// and its strings; never blocks.
Members Parser::parse() {
    // The size is checked before anything else so an over-long line costs nothing to refuse.
    if (input.size() > kMaxInput) {
        throw invalid();
    }
    Members members;
    skipSpace(input, pos);
    if (pos >= input.size() || input[pos] != '{') {
        throw invalid();
    }
    ++pos;
    skipSpace(input, pos);
    if (pos < input.size() && input[pos] == '}') {
        ++pos;
    } else {
        for (;;) {
            skipSpace(input, pos);
            std::string key = string();
            skipSpace(input, pos);
            if (pos >= input.size() || input[pos] != ':') {
                throw invalid();
            }
            ++pos;
            skipSpace(input, pos);
            Value member = value();
            if (members.size() >= kMaxMembers) {
                throw invalid();
            }
            // A repeated key is refused rather than overwritten: which of two "position"
            // members the host meant cannot be known.
            if (!members.emplace(std::move(key), std::move(member)).second) {
                throw invalid();
            }
            skipSpace(input, pos);
            if (pos >= input.size()) {
                throw invalid();
            }
            const char next = input[pos++];
            if (next == '}') {
                break;
            }
            if (next != ',') {
                throw invalid();
            }
        }
    }
    skipSpace(input, pos);
    if (pos != input.size()) {
        throw invalid();
    }
    return members;
}

// Called by parse() on the same thread. Allocates a String value's text.
Value Parser::value() {
    if (pos >= input.size()) {
        throw invalid();
    }
    Value result;
    if (input[pos] == '"') {
        result.kind = Kind::String;
        result.text = string();
        return result;
    }
    // What follows a literal is left to parse(), which accepts only whitespace, ',' or '}'.
    if (input.compare(pos, 4, "true") == 0) {
        pos += 4;
        result.kind = Kind::Boolean;
        result.flag = true;
        return result;
    }
    if (input.compare(pos, 5, "false") == 0) {
        pos += 5;
        result.kind = Kind::Boolean;
        return result;
    }
    if (input.compare(pos, 4, "null") == 0) {
        pos += 4;
        return result;
    }

    const size_t start = pos;
    const size_t size = input.size();
    auto byteAt = [&](size_t i) { return static_cast<unsigned char>(input[i]); };
    if (pos < size && input[pos] == '-') {
        ++pos;
    }
    if (pos >= size || !isDigit(byteAt(pos))) {
        throw invalid();
    }
    // A leading zero ends the integer part: "01" leaves the "1" for parse() to refuse.
    if (input[pos++] != '0') {
        while (pos < size && isDigit(byteAt(pos))) {
            ++pos;
        }
    }
    if (pos < size && input[pos] == '.') {
        ++pos;
        if (pos >= size || !isDigit(byteAt(pos))) {
            throw invalid();
        }
        while (pos < size && isDigit(byteAt(pos))) {
            ++pos;
        }
    }
    if (pos < size && (input[pos] == 'e' || input[pos] == 'E')) {
        ++pos;
        if (pos < size && (input[pos] == '+' || input[pos] == '-')) {
            ++pos;
        }
        if (pos >= size || !isDigit(byteAt(pos))) {
            throw invalid();
        }
        while (pos < size && isDigit(byteAt(pos))) {
            ++pos;
        }
    }
    if (pos - start > kMaxNumber) {
        throw invalid();
    }

    // from_chars is correctly rounded and ignores the C locale, unlike strtod under a locale
    // whose decimal point is a comma.
    const char* first = input.data() + start;
    const char* last = input.data() + pos;
    double number = 0.0;
    const std::from_chars_result converted = std::from_chars(first, last, number);
    if (converted.ptr != last) {
        throw invalid();
    }
    if (converted.ec == std::errc::result_out_of_range) {
        // Reported for underflow to zero as well as for overflow; only overflow is a fault.
        if (magnitudeAtLeastOne(first, last)) {
            throw invalid();
        }
        number = *first == '-' ? -0.0 : 0.0;
    } else if (converted.ec != std::errc()) {
        throw invalid();
    }
    if (!std::isfinite(number)) {
        throw invalid();
    }
    result.kind = Kind::Number;
    result.number = number;
    return result;
}

// Called by parse() on the same thread, for keys and string values. Allocates the result.
std::string Parser::string() {
    const size_t size = input.size();
    if (pos >= size || input[pos] != '"') {
        throw invalid();
    }
    ++pos;
    std::string out;
    for (;;) {
        // Copy the run of plain bytes in one go; most strings have no escape at all.
        const size_t run = pos;
        while (pos < size) {
            const unsigned char b = static_cast<unsigned char>(input[pos]);
            if (b == '"' || b == '\\' || b <= 0x1F) {
                break;
            }
            ++pos;
        }
        out.append(input, run, pos - run);
        if (pos >= size) {
            throw invalid();  // unterminated
        }
        const unsigned char b = static_cast<unsigned char>(input[pos++]);
        if (b == '"') {
            return out;
        }
        if (b != '\\') {
            throw invalid();  // raw control byte, tab and line feed included
        }
        if (pos >= size) {
            throw invalid();
        }
        const char escape = input[pos++];
        switch (escape) {
            case '"':
            case '\\':
            case '/':
                out.push_back(escape);
                break;
            case 'b':
                out.push_back('\x08');
                break;
            case 'f':
                out.push_back('\x0C');
                break;
            case 'n':
                out.push_back('\x0A');
                break;
            case 'r':
                out.push_back('\x0D');
                break;
            case 't':
                out.push_back('\x09');
                break;
            case 'u': {
                uint32_t c = hex4();
                if (c >= 0xDC00 && c <= 0xDFFF) {
                    throw invalid();  // low surrogate with no high one before it
                }
                if (c >= 0xD800 && c <= 0xDBFF) {
                    // A high surrogate is only meaningful as the first half of a pair.
                    if (size - pos < 2 || input[pos] != '\\' || input[pos + 1] != 'u') {
                        throw invalid();
                    }
                    pos += 2;
                    const uint32_t low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF) {
                        throw invalid();
                    }
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                }
                utf8(out, c);
                break;
            }
            default:
                throw invalid();
        }
    }
}

// Called by string() on the same thread. Never allocates (other than the exception).
unsigned Parser::hex4() {
    if (input.size() - pos < 4) {
        throw invalid();
    }
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hexDigit(static_cast<unsigned char>(input[pos + static_cast<size_t>(i)]));
        if (digit < 0) {
            throw invalid();
        }
        value = (value << 4) | static_cast<unsigned>(digit);
    }
    pos += 4;
    return value;
}

// Any thread. May grow `out`. `c` must not exceed 0x10FFFF: the four-byte form has room for
// 21 bits only, and the parser never produces more.
void utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= 0xFFFF) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

namespace {

// The one lookup behind the accessors: a missing member and a member of another kind are the
// same fault to the host.
const Value& member(const Members& members, const char* name, Kind kind) {
    const auto found = members.find(name);
    if (found == members.end() || found->second.kind != kind) {
        throw invalid();
    }
    return found->second;
}

}  // namespace

// Accessors: any thread. str allocates the copy it returns; the lookup itself builds a
// temporary key string.
std::string str(const Members& members, const char* name) {
    return member(members, name, Kind::String).text;
}

double num(const Members& members, const char* name) {
    return member(members, name, Kind::Number).number;
}

bool boolean(const Members& members, const char* name) {
    return member(members, name, Kind::Boolean).flag;
}

// Any thread; allocates the result. Escapes only what the reader requires, and writes control
// bytes in the six-byte form so that every output line stays one line of plain JSON whatever
// the message or device name holds.
std::string quote(const std::string& s) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() + 2);
    out.push_back('"');
    for (const char ch : s) {
        const unsigned char b = static_cast<unsigned char>(ch);
        if (b == '"' || b == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (b <= 0x1F) {
            const char escape[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 0x0F]};
            out.append(escape, sizeof escape);
        } else {
            out.push_back(ch);
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace mtcjson
