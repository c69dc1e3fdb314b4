#include "tests/reliability/json_check.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace reltest {

namespace {

class Reader {
  public:
    Reader(const std::string& in, bool flat) : in_(in), flat_(flat) {}

    std::optional<Json> document() {
        if (flat_ && in_.size() > 16384) {
            return std::nullopt;
        }
        skip();
        if (peek() != '{' && flat_) {
            return std::nullopt;
        }
        Json root;
        if (!value(root, 0)) {
            return std::nullopt;
        }
        skip();
        if (at_ != in_.size()) {
            return std::nullopt;
        }
        return root;
    }

  private:
    int peek() const { return at_ < in_.size() ? static_cast<unsigned char>(in_[at_]) : -1; }
    void skip() {
        while (peek() == ' ' || peek() == '\t' || peek() == '\r' || peek() == '\n') {
            ++at_;
        }
    }
    bool literal(const char* word) {
        const std::string w(word);
        if (in_.compare(at_, w.size(), w) != 0) {
            return false;
        }
        at_ += w.size();
        return true;
    }

    bool value(Json& out, int depth) {
        if (depth > 16) {
            return false;
        }
        const int c = peek();
        if (c == '{') {
            if (flat_ && depth > 0) {
                return false;
            }
            return object(out, depth);
        }
        if (c == '[') {
            if (flat_) {
                return false;
            }
            ++at_;
            out.type = Json::Type::Array;
            skip();
            if (peek() == ']') {
                ++at_;
                return true;
            }
            for (;;) {
                skip();
                Json item;
                if (!value(item, depth + 1)) {
                    return false;
                }
                out.items.push_back(item);
                skip();
                if (peek() == ']') {
                    ++at_;
                    return true;
                }
                if (peek() != ',') {
                    return false;
                }
                ++at_;
            }
        }
        if (c == '"') {
            out.type = Json::Type::String;
            return string(out.text);
        }
        if (literal("true")) {
            out.type = Json::Type::Boolean;
            out.flag = true;
            return true;
        }
        if (literal("false")) {
            out.type = Json::Type::Boolean;
            return true;
        }
        if (literal("null")) {
            return true;
        }
        return number(out);
    }

    bool object(Json& out, int depth) {
        ++at_;
        out.type = Json::Type::Object;
        skip();
        if (peek() == '}') {
            ++at_;
            return true;
        }
        for (;;) {
            skip();
            std::string key;
            if (!string(key)) {
                return false;
            }
            skip();
            if (peek() != ':') {
                return false;
            }
            ++at_;
            skip();
            Json member;
            if (!value(member, depth + 1)) {
                return false;
            }
            if (flat_) {
                if (out.members.size() >= 32 || out.find(key) != nullptr) {
                    return false;
                }
            }
            out.members.emplace_back(key, member);
            skip();
            if (peek() == '}') {
                ++at_;
                return true;
            }
            if (peek() != ',') {
                return false;
            }
            ++at_;
        }
    }

    static bool digit(int c) { return c >= '0' && c <= '9'; }

    bool number(Json& out) {
        const size_t begin = at_;
        if (peek() == '-') {
            ++at_;
        }
        if (!digit(peek())) {
            return false;
        }
        if (peek() == '0') {
            ++at_;
        } else {
            while (digit(peek())) {
                ++at_;
            }
        }
        if (peek() == '.') {
            ++at_;
            if (!digit(peek())) {
                return false;
            }
            while (digit(peek())) {
                ++at_;
            }
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') {
                ++at_;
            }
            if (!digit(peek())) {
                return false;
            }
            while (digit(peek())) {
                ++at_;
            }
        }
        out.type = Json::Type::Number;
        out.token = in_.substr(begin, at_ - begin);
        if (flat_ && out.token.size() > 64) {
            return false;
        }
        // strtod is correctly rounded; too large a magnitude gives infinity, too small zero or
        // a subnormal, which JSON readers accept as such.
        out.number = std::strtod(out.token.c_str(), nullptr);
        return std::isfinite(out.number);
    }

    int hex() {
        if (at_ >= in_.size()) {
            return -1;
        }
        const char c = in_[at_++];
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    }

    bool unit(unsigned& u) {
        u = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = hex();
            if (h < 0) {
                return false;
            }
            u = u * 16 + static_cast<unsigned>(h);
        }
        return true;
    }

    static void append(std::string& out, unsigned c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    bool string(std::string& out) {
        if (peek() != '"') {
            return false;
        }
        ++at_;
        for (;;) {
            const int c = peek();
            if (c < 0 || c < 0x20) {
                return false;
            }
            ++at_;
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            const int e = peek();
            ++at_;
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += static_cast<char>(e);
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
                    unsigned u = 0;
                    if (!unit(u) || (u >= 0xDC00 && u <= 0xDFFF)) {
                        return false;
                    }
                    if (u >= 0xD800 && u <= 0xDBFF) {
                        unsigned low = 0;
                        if (peek() != '\\') {
                            return false;
                        }
                        ++at_;
                        if (peek() != 'u') {
                            return false;
                        }
                        ++at_;
                        if (!unit(low) || low < 0xDC00 || low > 0xDFFF) {
                            return false;
                        }
                        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append(out, u);
                    break;
                }
                default:
                    return false;
            }
        }
    }

    const std::string& in_;
    bool flat_;
    size_t at_ = 0;
};

bool plainDigits(const std::string& token) {
    if (token.empty() || token.size() > 16 || (token.size() > 1 && token[0] == '0')) {
        return false;
    }
    for (const char c : token) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return std::strtoull(token.c_str(), nullptr, 10) <= 9007199254740991ULL;
}

bool isDeviceId(const std::string& id) {
    if (id.size() != 70 || id.compare(0, 6, "winmm:") != 0) {
        return false;
    }
    for (size_t i = 6; i < id.size(); ++i) {
        const char c = id[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::string keysOf(const Json& object) {
    std::string keys;
    for (const auto& member : object.members) {
        keys += member.first + ",";
    }
    return keys;
}

}  // namespace

const Json* Json::find(const std::string& key) const {
    for (const auto& member : members) {
        if (member.first == key) {
            return &member.second;
        }
    }
    return nullptr;
}

std::optional<Json> readJson(const std::string& line) {
    return Reader(line, false).document();
}

std::optional<Json> readCommand(const std::string& line) {
    return Reader(line, true).document();
}

std::string outputShapeFault(const std::string& line) {
    if (line.find('\r') != std::string::npos) {
        return "carriage return in an output line";
    }
    const std::optional<Json> json = readJson(line);
    if (!json) {
        return "not one JSON value";
    }
    if (json->type != Json::Type::Object) {
        return "not an object";
    }
    const std::string keys = keysOf(*json);
    const auto& m = json->members;
    if (keys == "event,error,") {
        if (m[0].second.type != Json::Type::String || m[0].second.text != "error" ||
            m[1].second.type != Json::Type::String || m[1].second.text.empty()) {
            return "malformed error event";
        }
        return "";
    }
    if (keys != "id,ok," && keys != "id,ok,error," && keys != "id,ok,outputs,") {
        return "members " + keys + " are none of the protocol's shapes";
    }
    if (m[0].second.type != Json::Type::Number || !plainDigits(m[0].second.token)) {
        return "id is not plain digits";
    }
    if (m[1].second.type != Json::Type::Boolean) {
        return "ok is not a boolean";
    }
    const bool ok = m[1].second.flag;
    if (keys == "id,ok,error,") {
        if (ok || m[2].second.type != Json::Type::String || m[2].second.text.empty()) {
            return "malformed failure reply";
        }
    } else if (!ok) {
        return "failure reply without an error";
    }
    if (keys == "id,ok,outputs,") {
        if (m[2].second.type != Json::Type::Array) {
            return "outputs is not an array";
        }
        for (const Json& device : m[2].second.items) {
            if (device.type != Json::Type::Object || keysOf(device) != "id,name," ||
                device.members[0].second.type != Json::Type::String ||
                !isDeviceId(device.members[0].second.text) ||
                device.members[1].second.type != Json::Type::String) {
                return "malformed output entry";
            }
        }
    }
    return "";
}

std::string printable(const std::string& line, size_t limit) {
    std::string out;
    for (size_t i = 0; i < line.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (line.size() > limit) {
        out += "...(" + std::to_string(line.size()) + " bytes)";
    }
    return out;
}

}  // namespace reltest
