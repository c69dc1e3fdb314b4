// Checks of the machine GUID as the registry hands it over, and the words that name a failed
// query. Nothing here calls Windows, so the test program can drive every case directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace machineid {

// The value is read into a buffer of this many bytes; a larger value is refused by the
// registry with ERROR_MORE_DATA rather than read in part.
constexpr std::size_t kValueBufferBytes = 65536;

// Windows codes and the registry's string type, repeated here so this file needs no Windows
// headers (main.cpp checks them against the SDK's).
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInvalidData = 13;

// What the query found, and all the output step needs. The GUID text is secret-ish (it
// identifies the installation), so every copy of it is wiped once the line is written.
struct Result {
    char guid[40];       // 36 canonical characters, zero-filled; empty when `error` is set
    const char* error;   // nullptr on success, else one of the fixed error words
    std::uint32_t code;  // the Windows code behind `error`; 0 on success
};

// The error word for a non-zero Windows code from opening the key or reading the value.
const char* errorWord(std::uint32_t code);

// Marks `result` as failed with `code` and the word that goes with it; clears any GUID text.
void fail(Result& result, std::uint32_t code);

// Validates a value of registry type `type` holding `size` bytes of little-endian UTF-16 and,
// when it is a well-formed non-nil GUID, stores its upper-case canonical text in `result`.
// Anything else fails `result` with ERROR_INVALID_DATA. Returns whether the GUID was accepted.
bool acceptGuidValue(std::uint32_t type, const unsigned char* data, std::size_t size,
                     Result& result);

// Zeroes `size` bytes at `data` through a volatile pointer, so the stores happen even though
// the memory is never read again (a plain memset there may be optimised away).
void wipe(void* data, std::size_t size);

}  // namespace machineid
