#include "tests/service/e2e/json_check.h"

#include <cstdio>
#include <cstdlib>

namespace reltest {

namespace {

// Stricter than a reply reader needs: what the protocol allows and nothing more.
std::optional<Json> readStrictly(const std::string& line, bool commandLine) {
    mtccheck::JsonRules rules;
    rules.deepest = 16;
    rules.finiteNumbers = true;
    rules.pairedSurrogates = true;
    rules.commandLine = commandLine;
    Json json;
    std::string error;
    if (!mtccheck::parseJson(line, json, error, rules)) {
        return std::nullopt;
    }
    return json;
}

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

std::optional<Json> readJson(const std::string& line) {
    return readStrictly(line, false);
}

std::optional<Json> readCommand(const std::string& line) {
    return readStrictly(line, true);
}

std::string outputShapeFault(const std::string& line) {
    if (line.find('\r') != std::string::npos) {
        return "carriage return in an output line";
    }
    const std::optional<Json> json = readJson(line);
    if (!json) {
        return "not one JSON value";
    }
    if (json->kind != Json::kObject) {
        return "not an object";
    }
    const std::string keys = keysOf(*json);
    const auto& m = json->members;
    if (keys == "event,error,") {
        if (m[0].second.kind != Json::kString || m[0].second.text != "error" ||
            m[1].second.kind != Json::kString || m[1].second.text.empty()) {
            return "malformed error event";
        }
        return "";
    }
    if (keys != "id,ok," && keys != "id,ok,error," && keys != "id,ok,outputs,") {
        return "members " + keys + " are none of the protocol's shapes";
    }
    if (m[0].second.kind != Json::kNumber || !plainDigits(m[0].second.token)) {
        return "id is not plain digits";
    }
    if (m[1].second.kind != Json::kBool) {
        return "ok is not a boolean";
    }
    const bool ok = m[1].second.flag;
    if (keys == "id,ok,error,") {
        if (ok || m[2].second.kind != Json::kString || m[2].second.text.empty()) {
            return "malformed failure reply";
        }
    } else if (!ok) {
        return "failure reply without an error";
    }
    if (keys == "id,ok,outputs,") {
        if (m[2].second.kind != Json::kArray) {
            return "outputs is not an array";
        }
        for (const Json& device : m[2].second.items) {
            if (device.kind != Json::kObject || keysOf(device) != "id,name," ||
                device.members[0].second.kind != Json::kString ||
                !isDeviceId(device.members[0].second.text) ||
                device.members[1].second.kind != Json::kString) {
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
