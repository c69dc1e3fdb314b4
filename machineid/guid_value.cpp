#include "guid_value.h"

namespace machineid {
namespace {

constexpr std::size_t kGuidLength = 36;

bool isBlank(std::uint16_t unit) {
    return unit == 0x0020 || unit == 0x0009;
}

bool isHyphenPosition(std::size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

// The ASCII hexadecimal digit `unit` in upper case, or 0 when `unit` is anything else. The
// whole 16-bit unit is compared, so a character such as U+0141 never passes as 'A'.
char upperHexDigit(std::uint16_t unit) {
    if ((unit >= '0' && unit <= '9') || (unit >= 'A' && unit <= 'F')) {
        return static_cast<char>(unit);
    }
    if (unit >= 'a' && unit <= 'f') {
        return static_cast<char>(unit - 'a' + 'A');
    }
    return 0;
}

}  // namespace

const char* errorWord(std::uint32_t code) {
    switch (code) {
        case 5:     // ERROR_ACCESS_DENIED
        case 1314:  // ERROR_PRIVILEGE_NOT_HELD
            return "access_denied";
        case 2:  // ERROR_FILE_NOT_FOUND
        case 3:  // ERROR_PATH_NOT_FOUND
            return "missing";
        case 13:   // ERROR_INVALID_DATA
        case 234:  // ERROR_MORE_DATA: the value is larger than the buffer
            return "invalid";
        default:
            return "unavailable";
    }
}

void fail(Result& result, std::uint32_t code) {
    wipe(result.guid, sizeof result.guid);
    result.error = errorWord(code);
    result.code = code;
}

bool acceptGuidValue(std::uint32_t type, const unsigned char* data, std::size_t size,
                     Result& result) {
    // REG_EXPAND_SZ is refused too: expanding it could turn anything into a GUID.
    if (type != kRegSz || size == 0 || size > kValueBufferBytes || size % 2 != 0) {
        fail(result, kErrorInvalidData);
        return false;
    }
    // Units are assembled from bytes, so the buffer needs no particular alignment.
    auto unitAt = [data](std::size_t i) {
        return static_cast<std::uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    };
    std::size_t begin = 0;
    std::size_t end = size / 2;
    // Only one terminator is dropped: a value with two ends in a zero and fails on length.
    if (unitAt(end - 1) == 0) {
        --end;
    }
    while (begin < end && isBlank(unitAt(begin))) {
        ++begin;
    }
    while (end > begin && isBlank(unitAt(end - 1))) {
        --end;
    }
    if (end - begin != kGuidLength) {
        fail(result, kErrorInvalidData);
        return false;
    }
    bool anyNonZeroDigit = false;
    for (std::size_t i = 0; i < kGuidLength; ++i) {
        const std::uint16_t unit = unitAt(begin + i);
        char c = 0;
        if (isHyphenPosition(i)) {
            c = unit == '-' ? '-' : 0;
        } else {
            c = upperHexDigit(unit);
            anyNonZeroDigit = anyNonZeroDigit || (c != 0 && c != '0');
        }
        if (c == 0) {
            fail(result, kErrorInvalidData);
            return false;
        }
        result.guid[i] = c;
    }
    if (!anyNonZeroDigit) {
        fail(result, kErrorInvalidData);
        return false;
    }
    for (std::size_t i = kGuidLength; i < sizeof result.guid; ++i) {
        result.guid[i] = 0;
    }
    result.error = nullptr;
    result.code = 0;
    return true;
}

void wipe(void* data, std::size_t size) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        p[i] = 0;
    }
}

}  // namespace machineid
