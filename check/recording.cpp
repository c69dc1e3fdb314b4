#include "check/recording.h"

#include <cstdlib>

namespace mtccheck {
namespace {

constexpr int64_t kMicrosPerByte = 320;  // 31250 baud, ten bits per byte

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t space = text.find(' ', i);
        const size_t end = space == std::string::npos ? text.size() : space;
        if (end > i) {
            out.push_back(text.substr(i, end - i));
        }
        i = end + 1;
    }
    return out;
}

// The value of `key=` among the words; false when no word has that key.
bool field(const std::vector<std::string>& w, const std::string& key, std::string& value) {
    for (const std::string& word : w) {
        if (word.size() > key.size() && word.compare(0, key.size(), key) == 0 &&
            word[key.size()] == '=') {
            value = word.substr(key.size() + 1);
            return true;
        }
    }
    return false;
}

bool integer(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    value = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace

double usToSeconds(int64_t us) {
    return static_cast<double>(us) / 1e6;
}

double handedAtSeconds(const WireMessage& m) {
    return usToSeconds(m.callUs >= 0 ? m.callUs : m.startUs);
}

std::string formatHex(const uint8_t* bytes, size_t count, const char* separator) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += separator;
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool parseHex(const std::string& text, std::vector<uint8_t>& out) {
    if (text.size() % 2 != 0) {
        return false;
    }
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            const char c = text[k];
            v <<= 4;
            if (c >= '0' && c <= '9') {
                v |= c - '0';
            } else if (c >= 'A' && c <= 'F') {
                v |= c - 'A' + 10;
            } else if (c >= 'a' && c <= 'f') {
                v |= c - 'a' + 10;
            } else {
                return false;
            }
        }
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool parseWireLine(const std::string& text, WireMessage& out) {
    const std::vector<std::string> w = words(text);
    if (w.size() < 2 || (w[1] != "wire" && w[1] != "drop")) {
        return false;
    }
    std::string port, seq, start, end, sent, bytes;
    int64_t portValue = 0, seqValue = 0, startValue = 0;
    if (!field(w, "port", port) || !integer(port, portValue) || portValue > 1000000 ||
        !field(w, "seq", seq) || !integer(seq, seqValue) || !field(w, "bytes", bytes) ||
        !parseHex(bytes, out.bytes) || out.bytes.empty()) {
        return false;
    }
    out.port = static_cast<int>(portValue);
    out.seq = static_cast<uint64_t>(seqValue);
    if (w[1] == "wire") {
        int64_t endValue = 0;
        if (!field(w, "start", start) || !integer(start, startValue) || !field(w, "end", end) ||
            !integer(end, endValue) || endValue < startValue) {
            return false;
        }
        out.startUs = startValue;
        out.endUs = endValue;
        out.cut = false;
        return true;
    }
    // A reset cut the message: only its first `sent` bytes left ("start=-" when none did).
    int64_t sentValue = 0;
    if (!field(w, "sent", sent) || !integer(sent, sentValue) ||
        sentValue > static_cast<int64_t>(out.bytes.size()) || !field(w, "start", start)) {
        return false;
    }
    if (sentValue == 0) {
        out.bytes.clear();
        out.startUs = out.endUs = 0;
    } else {
        if (!integer(start, startValue)) {
            return false;
        }
        out.bytes.resize(static_cast<size_t>(sentValue));
        out.startUs = startValue;
        out.endUs = startValue + kMicrosPerByte * sentValue;
    }
    out.cut = true;
    return true;
}

void RecordingReader::feed(const char* data, size_t size) {
    size_t from = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            partial_.append(data + from, i - from);
            line(partial_);
            partial_.clear();
            from = i + 1;
        }
    }
    partial_.append(data + from, size - from);
}

std::vector<WireMessage> RecordingReader::take() {
    std::vector<WireMessage> out;
    out.swap(messages_);
    return out;
}

void RecordingReader::line(const std::string& text) {
    const std::vector<std::string> w = words(text);
    if (w.size() < 2) {
        return;
    }
    const std::string& kind = w[1];
    if (kind == "wire" || kind == "drop") {
        WireMessage m;
        if (!parseWireLine(text, m)) {
            ++unreadable_;
            return;
        }
        const auto call = callUs_.find(m.seq);
        if (call != callUs_.end()) {
            m.callUs = call->second;
            callUs_.erase(call);
        }
        if (!m.bytes.empty()) {
            bool& fresh = fresh_[m.port];
            m.afterOpen = fresh;
            fresh = false;
            messages_.push_back(std::move(m));
        }
    } else if (kind == "midiOutShortMsg" || kind == "midiOutLongMsg") {
        call(w);
    } else if (kind == "midiOutOpen") {
        opened(w);
    } else if (kind == "simport") {
        sawHeader_ = true;
    } else if (kind == "error") {
        errors_.push_back(text.substr(text.find("error")));
    }
}

namespace {

// The result of a call line, the word after "->"; empty when it has none.
std::string resultOf(const std::vector<std::string>& w) {
    for (size_t i = 2; i + 1 < w.size(); ++i) {
        if (w[i] == "->") {
            return w[i + 1];
        }
    }
    return std::string();
}

}  // namespace

// "<micros> midiOutShortMsg ... seq=N -> 0": the message N was handed over then.
void RecordingReader::call(const std::vector<std::string>& w) {
    std::string seq;
    int64_t at = 0, value = 0;
    if (resultOf(w) == "0" && field(w, "seq", seq) && integer(seq, value) && integer(w[0], at)) {
        callUs_[static_cast<uint64_t>(value)] = at;
    }
}

// "... midiOutOpen ... -> 0 handle=0x10000 port=0": only a successful open names the port.
void RecordingReader::opened(const std::vector<std::string>& w) {
    std::string port;
    int64_t value = 0;
    if (resultOf(w) == "0" && field(w, "port", port) && integer(port, value)) {
        openedPort_ = static_cast<int>(value);
        fresh_[openedPort_] = true;
    }
}

std::string RecordEntry::field(const char* key) const {
    const auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long long RecordEntry::number(const char* key) const {
    const auto it = fields.find(key);
    if (it == fields.end() || it->second.empty() || it->second == "-") {
        return -1;
    }
    return std::strtoll(it->second.c_str(), nullptr, 0);
}

std::vector<RecordEntry> parseRecording(const std::string& text) {
    std::vector<RecordEntry> entries;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            break;  // a line still being written
        }
        RecordEntry entry;
        entry.raw = text.substr(start, end - start);
        start = end + 1;
        const std::vector<std::string> w = words(entry.raw);
        if (w.size() < 2) {
            continue;
        }
        entry.at = std::strtod(w[0].c_str(), nullptr) / 1e6;
        entry.event = w[1];
        for (size_t i = 2; i < w.size(); ++i) {
            if (w[i] == "->" && i + 1 < w.size()) {
                entry.fields["result"] = w[++i];
                continue;
            }
            const size_t equals = w[i].find('=');
            if (equals != std::string::npos) {
                entry.fields[w[i].substr(0, equals)] = w[i].substr(equals + 1);
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<RecordEntry> entriesOf(const std::vector<RecordEntry>& entries, const char* event) {
    std::vector<RecordEntry> out;
    for (const RecordEntry& entry : entries) {
        if (entry.event == event) {
            out.push_back(entry);
        }
    }
    return out;
}

}  // namespace mtccheck
