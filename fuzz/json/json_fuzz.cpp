// Feeds arbitrary lines to the command reader. Beyond the sanitizers, it aborts when a parse
// gives a result that breaks the reader's promises: a fault with any other message, a map over
// its limits, a value whose unused fields are not at rest, accessors that disagree with the
// kinds, or a map that does not read back identically once written out again with quote().
#include "json/mtcjson.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

namespace {

const char kFault[] = "MIDI 命令格式错误。";

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

template <typename F>
bool throwsFault(F f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        require(std::strcmp(e.what(), kFault) == 0);
        return true;
    }
    return false;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameValue(const mtcjson::Value& a, const mtcjson::Value& b) {
    return a.kind == b.kind && a.text == b.text && sameBits(a.number, b.number) && a.flag == b.flag;
}

// Writes the map back as one line; numbers in their shortest round-trip form.
std::string write(const mtcjson::Members& members) {
    std::string out = "{";
    for (const auto& m : members) {
        if (out.size() > 1) {
            out += ',';
        }
        out += mtcjson::quote(m.first) + ':';
        const mtcjson::Value& v = m.second;
        switch (v.kind) {
            case mtcjson::Kind::Null:
                out += "null";
                break;
            case mtcjson::Kind::String:
                out += mtcjson::quote(v.text);
                break;
            case mtcjson::Kind::Boolean:
                out += v.flag ? "true" : "false";
                break;
            case mtcjson::Kind::Number: {
                char digits[64];
                const auto r = std::to_chars(digits, digits + sizeof digits, v.number);
                require(r.ec == std::errc());
                out.append(digits, r.ptr);
                break;
            }
        }
    }
    return out + "}";
}

void checkMembers(const mtcjson::Members& members) {
    require(members.size() <= 32);
    for (const auto& m : members) {
        const mtcjson::Value& v = m.second;
        const char* key = m.first.c_str();
        // A key with a zero byte cannot be named through the accessors' C string.
        const bool nameable = std::strlen(key) == m.first.size();
        require(v.kind == mtcjson::Kind::String || v.text.empty());
        require(v.kind == mtcjson::Kind::Number ? std::isfinite(v.number)
                                                : sameBits(v.number, 0.0));
        require(v.kind == mtcjson::Kind::Boolean || !v.flag);
        if (nameable) {
            require(throwsFault([&] { mtcjson::str(members, key); }) !=
                    (v.kind == mtcjson::Kind::String));
            require(throwsFault([&] { mtcjson::num(members, key); }) !=
                    (v.kind == mtcjson::Kind::Number));
            require(throwsFault([&] { mtcjson::boolean(members, key); }) !=
                    (v.kind == mtcjson::Kind::Boolean));
        }
    }
    // The written form may be longer than the limit (escapes grow), so it is read back only
    // when it fits; quote() is checked on the whole line below regardless.
    const std::string again = write(members);
    if (again.size() <= 16384) {
        mtcjson::Parser parser(again);
        const mtcjson::Members reread = parser.parse();
        require(reread.size() == members.size());
        auto a = members.begin();
        for (auto b = reread.begin(); b != reread.end(); ++a, ++b) {
            require(a->first == b->first && sameValue(a->second, b->second));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);

    mtcjson::Parser parser(line);
    mtcjson::Members members;
    const bool failed = throwsFault([&] { members = parser.parse(); });
    if (!failed) {
        require(parser.pos == line.size());
        checkMembers(members);
    }

    // Any bytes at all survive quoting and the string reader.
    const std::string quoted = mtcjson::quote(line);
    mtcjson::Parser reader(quoted);
    require(reader.string() == line);
    require(reader.pos == quoted.size());
    return 0;
}
