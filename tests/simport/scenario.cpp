#include "scenario.h"

#include <windows.h>

#include <algorithm>
#include <set>

namespace simport {

namespace {

const char* const kCountedFunctions[] = {
    "midiOutGetNumDevs",
    "midiOutGetDevCapsW",
    "midiOutGetDevCapsA",
    "midiOutMessage",
    "midiOutOpen",
    "midiOutShortMsg",
    "midiOutPrepareHeader",
    "midiOutLongMsg",
    "midiOutUnprepareHeader",
    "midiOutReset",
    "midiOutClose",
    "midiOutGetID",
    "timeBeginPeriod",
    "timeEndPeriod",
    "midiInGetNumDevs",
    "midiInGetDevCapsW",
    "midiInGetDevCapsA",
    "midiInMessage",
    "midiInOpen",
    "midiInClose",
    "midiInPrepareHeader",
    "midiInUnprepareHeader",
    "midiInAddBuffer",
    "midiInStart",
    "midiInStop",
    "midiInReset",
    "midiInGetID",
};

struct KindName {
    const char* name;
    FaultKind kind;
};

const KindName kKinds[] = {
    {"open", FaultKind::Open},
    {"caps", FaultKind::Caps},
    {"detach", FaultKind::Detach},
    {"reorder", FaultKind::Reorder},
    {"change", FaultKind::Change},
    {"stuck", FaultKind::Stuck},
    {"short", FaultKind::Short},
    {"prepare", FaultKind::Prepare},
    {"long", FaultKind::Long},
    {"unprepare", FaultKind::Unprepare},
    {"reset", FaultKind::Reset},
    {"close", FaultKind::Close},
    {"resetnodone", FaultKind::ResetNoDone},
    {"closeblock", FaultKind::CloseBlock},
    {"clear", FaultKind::Clear},
    {"inopen", FaultKind::InOpen},
    {"inremove", FaultKind::InRemove},
    {"innobuffer", FaultKind::InNoBuffer},
    {"insplit", FaultKind::InSplit},
    {"innolongerror", FaultKind::InNoLongError},
    {"incloseblock", FaultKind::InCloseBlock},
};

const char* const kPortKeys[] = {"name",  "path",     "size",    "nul",  "pathresult",
                                 "mid",   "pid",      "version", "tech", "voices",
                                 "notes", "chanmask", "support"};

bool isPortKey(const std::string& key) {
    return std::any_of(std::begin(kPortKeys), std::end(kPortKeys),
                       [&](const char* k) { return key == k; });
}

// Default result of a call fault when the line gives no code.
std::uint32_t defaultCode(FaultKind kind) {
    switch (kind) {
        case FaultKind::Open:
        case FaultKind::InOpen:
            return 4;  // MMSYSERR_ALLOCATED: another program holds the port
        case FaultKind::Caps:
        case FaultKind::Detach:
        case FaultKind::InRemove:
            return 6;  // MMSYSERR_NODRIVER: the driver behind the port has gone
        default:
            return 1;  // MMSYSERR_ERROR
    }
}

bool takesCode(FaultKind kind) {
    switch (kind) {
        case FaultKind::Open:
        case FaultKind::Caps:
        case FaultKind::Detach:
        case FaultKind::Short:
        case FaultKind::Prepare:
        case FaultKind::Long:
        case FaultKind::Unprepare:
        case FaultKind::Reset:
        case FaultKind::Close:
        case FaultKind::InOpen:
        case FaultKind::InRemove:
            return true;
        default:
            return false;
    }
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Decimal or 0x hexadecimal, no sign, at most `max`.
bool parseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    std::size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) {
        return false;
    }
    std::uint64_t v = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (v > (max - d) / base) {
            return false;
        }
        v = v * base + d;
    }
    value = v;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Appends a run of UTF-8 bytes converted to UTF-16; invalid UTF-8 is an error rather than
// being replaced, so a scenario never tests a name other than the one it spells.
bool flushUtf8(std::string& run, std::wstring& out, std::string& error) {
    if (run.empty()) {
        return true;
    }
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, run.data(),
                                static_cast<int>(run.size()), nullptr, 0);
    if (n <= 0) {
        error = "invalid UTF-8 in a quoted string (use %uXXXX for single UTF-16 units)";
        return false;
    }
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, run.data(), static_cast<int>(run.size()),
                        &w[0], n);
    out += w;
    run.clear();
    return true;
}

// Decodes the inside of a quoted string for the port with declaration number `number`.
// Backslashes are literal (interface paths are full of them); escapes start with '%'.
bool decodeString(const std::string& raw, unsigned number, std::wstring& out, std::string& error) {
    out.clear();
    std::string run;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c == '{' && raw.compare(i, 3, "{n}") == 0) {
            run += std::to_string(number);
            i += 2;
        } else if (c == '%') {
            if (i + 1 < raw.size() && raw[i + 1] == '%') {
                run += '%';
                i += 1;
            } else if (i + 1 < raw.size() && raw[i + 1] == 'u') {
                unsigned unit = 0;
                for (std::size_t k = 2; k <= 5; ++k) {
                    int d = i + k < raw.size() ? hexDigit(raw[i + k]) : -1;
                    if (d < 0) {
                        error = "%u needs four hexadecimal digits";
                        return false;
                    }
                    unit = unit * 16 + static_cast<unsigned>(d);
                }
                if (!flushUtf8(run, out, error)) {
                    return false;
                }
                out += static_cast<wchar_t>(unit);
                i += 5;
            } else {
                int hi = i + 1 < raw.size() ? hexDigit(raw[i + 1]) : -1;
                int lo = i + 2 < raw.size() ? hexDigit(raw[i + 2]) : -1;
                if (hi < 0 || lo < 0) {
                    error = "'%' starts %XX, %uXXXX or %% (write %% for a percent sign)";
                    return false;
                }
                run += static_cast<char>(hi * 16 + lo);
                i += 2;
            }
        } else if (c < 0x20 || c == 0x7F) {
            error = "control characters in a quoted string must be written as %XX";
            return false;
        } else {
            run += static_cast<char>(c);
        }
    }
    return flushUtf8(run, out, error);
}

struct Token {
    std::string key;
    std::string value;
    bool hasValue = false;
    bool quoted = false;
};

// Splits a line into words; a quoted value may contain blanks and '#'. Stops at a comment.
bool tokenize(const std::string& text, std::vector<Token>& tokens, std::string& stripped,
              std::string& error) {
    std::size_t i = 0;
    std::size_t lastEnd = 0;
    while (true) {
        while (i < text.size() && isBlank(text[i])) {
            ++i;
        }
        if (i >= text.size() || text[i] == '#') {
            break;
        }
        Token t;
        while (i < text.size() && !isBlank(text[i]) && text[i] != '=') {
            if (text[i] == '"') {
                error = "a quote outside a value";
                return false;
            }
            t.key += text[i++];
        }
        if (i < text.size() && text[i] == '=') {
            ++i;
            t.hasValue = true;
            if (i < text.size() && text[i] == '"') {
                t.quoted = true;
                ++i;
                bool closed = false;
                while (i < text.size()) {
                    char c = text[i++];
                    if (c == '"') {
                        closed = true;
                        break;
                    } else {
                        t.value += c;
                    }
                }
                if (!closed) {
                    error = "unterminated quoted string";
                    return false;
                }
                if (i < text.size() && !isBlank(text[i])) {
                    error = "a quoted value must be followed by a blank";
                    return false;
                }
            } else {
                while (i < text.size() && !isBlank(text[i])) {
                    if (text[i] == '"' || text[i] == '#') {
                        error = "unquoted value of \"" + t.key + "\" contains '\"' or '#'";
                        return false;
                    }
                    t.value += text[i++];
                }
            }
        }
        if (t.key.empty()) {
            error = "a value without a key";
            return false;
        }
        tokens.push_back(t);
        lastEnd = i;
    }
    std::size_t first = text.find_first_not_of(" \t\r");
    stripped = first == std::string::npos || lastEnd <= first ? std::string()
                                                              : text.substr(first, lastEnd - first);
    return true;
}

bool numberValue(const Token& t, std::uint64_t max, std::uint64_t& v, std::string& error) {
    if (t.quoted || !parseNumber(t.value, max, v)) {
        error = "\"" + t.key + "\" needs a number no larger than " + std::to_string(max);
        return false;
    }
    return true;
}

// Bytes written as hex pairs without separators ("F07F7F01"), 1 to 65536 of them.
bool parseBytes(const Token& t, std::vector<unsigned char>& bytes, std::string& error) {
    bytes.clear();
    if (t.quoted || t.value.empty() || t.value.size() % 2 != 0 || t.value.size() > 2 * 65536) {
        error = "\"bytes\" needs 1 to 65536 bytes as hex pairs";
        return false;
    }
    for (std::size_t i = 0; i < t.value.size(); i += 2) {
        int hi = hexDigit(t.value[i]);
        int lo = hexDigit(t.value[i + 1]);
        if (hi < 0 || lo < 0) {
            error = "\"bytes\" needs 1 to 65536 bytes as hex pairs";
            return false;
        }
        bytes.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return true;
}

}  // namespace

bool isEffect(FaultKind kind) {
    return kind == FaultKind::Detach || kind == FaultKind::Reorder || kind == FaultKind::Change ||
           kind == FaultKind::Clear || kind == FaultKind::InRemove;
}

bool isInputFault(FaultKind kind) {
    return kind == FaultKind::InOpen || kind == FaultKind::InRemove ||
           kind == FaultKind::InNoBuffer || kind == FaultKind::InSplit ||
           kind == FaultKind::InNoLongError || kind == FaultKind::InCloseBlock;
}

bool hasPort(FaultKind kind) {
    return kind != FaultKind::Reorder && kind != FaultKind::Clear;
}

bool isCountedFunction(const std::string& name) {
    return std::any_of(std::begin(kCountedFunctions), std::end(kCountedFunctions),
                       [&](const char* f) { return name == f; });
}

PortProps defaultProps(unsigned number) {
    PortProps p;
    std::wstring n = std::to_wstring(number);
    p.name = L"Sim MIDI " + n;
    p.path = L"\\\\?\\SWD#SIMPORT#" + n;
    return p;
}

PortProps defaultInputProps(unsigned number) {
    PortProps p;
    std::wstring n = std::to_wstring(number);
    p.name = L"Sim MIDI In " + n;
    p.path = L"\\\\?\\SWD#SIMPORT#IN" + n;
    return p;
}

bool applySettings(const Settings& settings, unsigned number, PortProps& props,
                   std::string& error) {
    for (const Setting& s : settings) {
        Token t;
        t.key = s.key;
        t.value = s.value;
        t.quoted = s.quoted;
        std::uint64_t v = 0;
        if (s.key == "name") {
            if (!s.quoted) {
                error = "\"name\" needs a quoted string";
                return false;
            }
            std::wstring name;
            if (!decodeString(s.value, number, name, error)) {
                return false;
            }
            if (name.size() > 32) {
                error = "a name has at most 32 UTF-16 units, this one has " +
                        std::to_string(name.size());
                return false;
            }
            props.name = name;
        } else if (s.key == "path") {
            if (!s.quoted && s.value == "none") {
                props.hasPath = false;
                props.path.clear();
            } else if (s.quoted) {
                if (!decodeString(s.value, number, props.path, error)) {
                    return false;
                }
                props.hasPath = true;
            } else {
                error = "\"path\" needs a quoted string or none";
                return false;
            }
        } else if (s.key == "nul") {
            if (s.quoted || (s.value != "yes" && s.value != "no")) {
                error = "\"nul\" is yes or no";
                return false;
            }
            props.nul = s.value == "yes";
        } else {
            bool wide = s.key == "size" || s.key == "pathresult" || s.key == "version" ||
                        s.key == "support";
            if (!numberValue(t, wide ? 0xFFFFFFFFull : 0xFFFFull, v, error)) {
                return false;
            }
            if (s.key == "size") {
                props.sizeSet = true;
                props.size = static_cast<std::uint32_t>(v);
            } else if (s.key == "pathresult") {
                props.pathResult = static_cast<std::uint32_t>(v);
            } else if (s.key == "version") {
                props.version = static_cast<std::uint32_t>(v);
            } else if (s.key == "support") {
                props.support = static_cast<std::uint32_t>(v);
            } else if (s.key == "mid") {
                props.mid = static_cast<std::uint16_t>(v);
            } else if (s.key == "pid") {
                props.pid = static_cast<std::uint16_t>(v);
            } else if (s.key == "tech") {
                props.tech = static_cast<std::uint16_t>(v);
            } else if (s.key == "voices") {
                props.voices = static_cast<std::uint16_t>(v);
            } else if (s.key == "notes") {
                props.notes = static_cast<std::uint16_t>(v);
            } else if (s.key == "chanmask") {
                props.chanmask = static_cast<std::uint16_t>(v);
            } else {
                error = "unknown port key \"" + s.key + "\"";
                return false;
            }
        }
    }
    return true;
}

bool parseLine(const std::string& text, Line& line, bool& empty, std::string& error) {
    line = Line();
    empty = false;
    std::vector<Token> tokens;
    if (!tokenize(text, tokens, line.text, error)) {
        return false;
    }
    if (tokens.empty()) {
        empty = true;
        return true;
    }
    if (tokens[0].hasValue) {
        error = "a line starts with \"port\" or \"fault\"";
        return false;
    }
    std::size_t next = 1;
    if (tokens[0].key == "port") {
        line.type = Line::Type::Port;
    } else if (tokens[0].key == "input") {
        line.type = Line::Type::Input;
    } else if (tokens[0].key == "arrive") {
        line.type = Line::Type::Arrive;
    } else if (tokens[0].key == "fault") {
        line.type = Line::Type::Fault;
        if (tokens.size() < 2 || tokens[1].hasValue) {
            error = "\"fault\" is followed by its kind";
            return false;
        }
        auto kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                 [&](const KindName& k) { return tokens[1].key == k.name; });
        if (kind == std::end(kKinds)) {
            error = "unknown fault kind \"" + tokens[1].key + "\"";
            return false;
        }
        line.kind = kind->kind;
        line.code = defaultCode(line.kind);
        next = 2;
    } else {
        error = "unknown line type \"" + tokens[0].key + "\"";
        return false;
    }

    std::set<std::string> seen;
    bool sawOrder = false;
    for (std::size_t i = next; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (!t.hasValue) {
            error = "\"" + t.key + "\" needs a value (key=value)";
            return false;
        }
        if (!seen.insert(t.key).second) {
            error = "\"" + t.key + "\" given twice";
            return false;
        }
        std::uint64_t v = 0;
        bool isFault = line.type == Line::Type::Fault;
        bool isPorts = line.type == Line::Type::Port || line.type == Line::Type::Input;
        bool isArrive = line.type == Line::Type::Arrive;
        if (isArrive && t.key == "port") {
            if (!numberValue(t, 0xFFFFFFFFull, v, error)) {
                return false;
            }
            line.portIndex = static_cast<unsigned>(v);
        } else if (isArrive && t.key == "bytes") {
            if (!parseBytes(t, line.bytes, error)) {
                return false;
            }
        } else if (line.type == Line::Type::Input && t.key == "loop") {
            if (!numberValue(t, 0xFFFFFFFFull, v, error)) {
                return false;
            }
            line.loop = static_cast<std::int64_t>(v);
        } else if (isPorts && t.key == "count") {
            if (!numberValue(t, 4096, v, error)) {
                return false;
            }
            if (v == 0) {
                error = "\"count\" is at least 1";
                return false;
            }
            line.count = static_cast<unsigned>(v);
        } else if (isPortKey(t.key) && (isPorts || (isFault && line.kind == FaultKind::Change))) {
            line.settings.push_back(Setting{t.key, t.value, t.quoted});
        } else if (isFault && t.key == "port" && hasPort(line.kind)) {
            if (!numberValue(t, 0xFFFFFFFFull, v, error)) {
                return false;
            }
            line.portIndex = static_cast<unsigned>(v);
        } else if (isFault && t.key == "code" && takesCode(line.kind)) {
            if (!numberValue(t, 0xFFFFFFFFull, v, error)) {
                return false;
            }
            line.code = static_cast<std::uint32_t>(v);
        } else if (isFault && t.key == "times" && !isEffect(line.kind) &&
                   line.kind != FaultKind::InSplit && line.kind != FaultKind::InNoLongError) {
            if (!numberValue(t, 0xFFFFFFFFull, v, error)) {
                return false;
            }
            if (v == 0) {
                error = "\"times\" is at least 1";
                return false;
            }
            line.times = v;
        } else if (isFault && t.key == "on" && line.kind != FaultKind::Clear) {
            std::size_t colon = t.value.find(':');
            std::uint64_t n = 0;
            if (t.quoted || colon == std::string::npos ||
                !isCountedFunction(t.value.substr(0, colon)) ||
                !parseNumber(t.value.substr(colon + 1), 0xFFFFFFFFull, n) || n == 0) {
                error = "\"on\" is <winmm function>:<N> with N at least 1";
                return false;
            }
            line.onFunction = t.value.substr(0, colon);
            line.onCount = n;
        } else if (isFault && t.key == "after" && line.kind != FaultKind::Clear) {
            if (!numberValue(t, 86400000ull, v, error)) {
                return false;
            }
            line.afterMs = static_cast<std::int64_t>(v);
        } else if (isFault && t.key == "closes" && line.kind == FaultKind::InRemove) {
            if (t.quoted || (t.value != "yes" && t.value != "no")) {
                error = "\"closes\" is yes or no";
                return false;
            }
            line.closes = t.value == "yes";
        } else if (isFault && t.key == "index" && line.kind == FaultKind::InRemove) {
            if (t.quoted || (t.value != "fails" && t.value != "stays")) {
                error = "\"index\" is fails or stays";
                return false;
            }
            line.keepsIndex = t.value == "stays";
        } else if (isFault && t.key == "piece" && line.kind == FaultKind::InSplit) {
            if (!numberValue(t, 65536, v, error)) {
                return false;
            }
            if (v == 0) {
                error = "\"piece\" is at least 1";
                return false;
            }
            line.piece = static_cast<std::uint32_t>(v);
        } else if (isFault && t.key == "ms" &&
                   (line.kind == FaultKind::CloseBlock || line.kind == FaultKind::InCloseBlock)) {
            if (!numberValue(t, 600000ull, v, error)) {
                return false;
            }
            line.blockMs = static_cast<std::uint32_t>(v);
        } else if (isFault && t.key == "order" && line.kind == FaultKind::Reorder) {
            std::size_t pos = 0;
            while (pos <= t.value.size()) {
                std::size_t comma = t.value.find(',', pos);
                std::string part = t.value.substr(
                    pos, comma == std::string::npos ? std::string::npos : comma - pos);
                if (!parseNumber(part, 0xFFFFFFFFull, v)) {
                    error = "\"order\" is a comma-separated list of device indices";
                    return false;
                }
                line.order.push_back(static_cast<unsigned>(v));
                if (comma == std::string::npos) {
                    break;
                }
                pos = comma + 1;
            }
            sawOrder = true;
        } else if (isFault && t.key == "handles" && line.kind == FaultKind::Reorder) {
            if (t.quoted || (t.value != "follow" && t.value != "stay")) {
                error = "\"handles\" is follow or stay";
                return false;
            }
            line.handlesStay = t.value == "stay";
        } else {
            error = "unknown key \"" + t.key + "\" for this line";
            return false;
        }
    }
    if (line.type == Line::Type::Fault && line.kind == FaultKind::Reorder && !sawOrder) {
        error = "\"fault reorder\" needs order=i,j,...";
        return false;
    }
    if (line.type == Line::Type::Fault && line.kind == FaultKind::Change && line.settings.empty()) {
        error = "\"fault change\" needs at least one port key";
        return false;
    }
    if (line.type == Line::Type::Arrive && line.bytes.empty()) {
        error = "\"arrive\" needs bytes=<hex>";
        return false;
    }
    if (!line.onFunction.empty() && line.afterMs >= 0) {
        error = "a fault has either \"on\" or \"after\", not both";
        return false;
    }
    // Check the values once now, so that a bad name or number is reported by the line that
    // holds it rather than when the port is created.
    PortProps probe = defaultProps(0);
    return applySettings(line.settings, 0, probe, error);
}

}  // namespace simport
