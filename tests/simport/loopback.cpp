#include "loopback.h"

#include <cstring>

namespace simport {

namespace {

constexpr std::int64_t kSlots = 1024;  // ~10 s of MTC at 100 messages a second

// A 64-bit FNV-1a hash of the channel's name: kernel object names cannot hold every character
// a path has (a backslash, for one), and the hash keeps them short.
std::string objectName(const std::string& channel) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : channel) {
        h = (h ^ c) * 1099511628211ull;
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string name = "Local\\mtc-simport-loopback-";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += kDigits[(h >> shift) & 15];
    }
    return name;
}

std::int64_t load(volatile LONG64* v) {
    return InterlockedCompareExchange64(v, 0, 0);
}

}  // namespace

struct SharedWire::Ring {
    struct Slot {
        // 0 while being written, otherwise the 1-based sequence number of what it holds.
        volatile LONG64 published;
        DWORD pid;
        DWORD port;
        LONG64 start;
        LONG64 end;
        DWORD count;
        unsigned char bytes[kMaxBytes];
    };
    volatile LONG64 reserved;  // messages ever reserved; the next writer takes this number
    Slot slots[kSlots];
};

SharedWire::~SharedWire() {
    std::string ignored;
    open(std::string(), ignored);
}

bool SharedWire::open(const std::string& channel, std::string& error) {
    if (ring_ != nullptr) {
        UnmapViewOfFile(ring_);
        ring_ = nullptr;
    }
    if (mapping_ != nullptr) {
        CloseHandle(mapping_);
        mapping_ = nullptr;
    }
    if (channel.empty()) {
        return true;
    }
    const std::string name = objectName(channel);
    // Page-file backed and zero-filled when created: every slot starts unpublished.
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  static_cast<DWORD>(sizeof(Ring)), name.c_str());
    if (mapping_ == nullptr) {
        error = "cannot create the loopback channel (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    ring_ = static_cast<Ring*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Ring)));
    if (ring_ == nullptr) {
        error = "cannot map the loopback channel (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(mapping_);
        mapping_ = nullptr;
        return false;
    }
    next_ = load(&ring_->reserved);  // what went before belongs to nobody listening now
    return true;
}

bool SharedWire::publish(unsigned port, std::int64_t start, std::int64_t end,
                         const std::vector<unsigned char>& bytes) {
    if (ring_ == nullptr || bytes.size() > kMaxBytes) {
        return false;
    }
    const std::int64_t seq = InterlockedIncrement64(&ring_->reserved) - 1;
    Ring::Slot& slot = ring_->slots[seq % kSlots];
    InterlockedExchange64(&slot.published, 0);
    slot.pid = GetCurrentProcessId();
    slot.port = port;
    slot.start = start;
    slot.end = end;
    slot.count = static_cast<DWORD>(bytes.size());
    std::memcpy(slot.bytes, bytes.data(), bytes.size());
    InterlockedExchange64(&slot.published, seq + 1);  // a full barrier: the fields come first
    return true;
}

void SharedWire::take(std::vector<Message>& out, std::uint64_t& lost) {
    lost = 0;
    if (ring_ == nullptr) {
        return;
    }
    const DWORD self = GetCurrentProcessId();
    const std::int64_t reserved = load(&ring_->reserved);
    if (reserved - next_ > kSlots) {
        lost += static_cast<std::uint64_t>(reserved - kSlots - next_);
        next_ = reserved - kSlots;
    }
    while (next_ < reserved) {
        Ring::Slot& slot = ring_->slots[next_ % kSlots];
        const std::int64_t before = load(&slot.published);
        if (before < next_ + 1) {
            return;  // reserved but not yet written: read it next time
        }
        Message m;
        const DWORD pid = slot.pid;
        m.port = slot.port;
        m.start = slot.start;
        m.end = slot.end;
        const std::size_t count = slot.count <= kMaxBytes ? slot.count : kMaxBytes;
        m.bytes.assign(slot.bytes, slot.bytes + count);
        if (load(&slot.published) != next_ + 1 || before != next_ + 1) {
            ++lost;  // overwritten while (or before) it was read
        } else if (pid != self) {
            out.push_back(std::move(m));  // this process delivered its own wire directly
        }
        ++next_;
    }
}

}  // namespace simport
