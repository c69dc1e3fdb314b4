#include "winmm/devices.h"

#include <windows.h>
#include <mmsystem.h>
#include <bcrypt.h>

#include "platform/device_interface.h"

#include <array>
#include <climits>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace mtcservice {

namespace {

// More outputs than this is not a real machine but a broken driver stack; enumerating them
// would stall the host's "list" for a long time.
constexpr unsigned kMaxOutputs = 1024;

// Bounds of the driver's answer to the interface-path size query, in bytes. The path is a
// NUL-terminated wide string, so a usable size is even and holds at least the NUL; 32768 bytes
// is twice the longest path Windows can name a device by.
constexpr ULONG kMinPathBytes = 2;
constexpr ULONG kMaxPathBytes = 32768;

// Version tag and separator of the identity text. Changing any byte here gives every port a
// new id and invalidates the ids hosts have stored.
constexpr char kIdentityPrefix[] = "velmarcast-winmm-v1\n";

const char* const kNoStableId = u8"MIDI 输出接口缺少稳定设备标识，请检查 USB MIDI 驱动。";
const char* const kBadName = u8"MIDI 设备名称无效。";
const char* const kHashFailed = u8"MIDI 设备身份读取失败。";
const char* const kTooMany = u8"MIDI 设备列表无效，请重新刷新设备。";
const char* const kDefaultName = u8"MIDI 输出";

// The port's device interface path as the driver reports it, or an empty string when the
// driver does not answer both queries sensibly. The buffer is owned by a vector, so it is
// freed on every way out, including a throw from utf8().
std::string interfacePath(unsigned index) {
    // WinMM accepts a device index in place of an open handle for driver queries.
    const HMIDIOUT device = reinterpret_cast<HMIDIOUT>(static_cast<UINT_PTR>(index));
    ULONG size = 0;
    if (midiOutMessage(device, DRV_QUERYDEVICEINTERFACESIZE, reinterpret_cast<DWORD_PTR>(&size),
                       0) != MMSYSERR_NOERROR) {
        return std::string();
    }
    if (size % 2 != 0 || size < kMinPathBytes || size > kMaxPathBytes) {
        return std::string();
    }
    std::vector<wchar_t> buffer(size / 2, L'\0');
    if (midiOutMessage(device, DRV_QUERYDEVICEINTERFACE, reinterpret_cast<DWORD_PTR>(buffer.data()),
                       size) != MMSYSERR_NOERROR) {
        return std::string();
    }
    // A buffer the driver filled to the end without a NUL is not a path we can trust: the
    // string could have been cut short, and a cut path would give a different id.
    std::wstring path;
    bool terminated = false;
    for (wchar_t c : buffer) {
        if (c == L'\0') {
            terminated = true;
            break;
        }
        path.push_back(c);
    }
    if (!terminated) {
        return std::string();
    }
    return utf8(path);
}

// Owns a CNG algorithm provider and hash object for one digest, so both are released on
// success and failure alike.
class Sha256 {
  public:
    Sha256() = default;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256() {
        if (hash_ != nullptr) {
            BCryptDestroyHash(hash_);
        }
        if (provider_ != nullptr) {
            BCryptCloseAlgorithmProvider(provider_, 0);
        }
    }

    // False when any CNG step fails.
    bool digest(const std::string& text, std::array<UCHAR, 32>& out) {
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&provider_, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            provider_ = nullptr;
            return false;
        }
        // No hash-object buffer: the provider allocates and manages it.
        if (!BCRYPT_SUCCESS(BCryptCreateHash(provider_, &hash_, nullptr, 0, nullptr, 0, 0))) {
            hash_ = nullptr;
            return false;
        }
        // The text is bounded by the path limit above, far below ULONG_MAX.
        PUCHAR data = reinterpret_cast<PUCHAR>(const_cast<char*>(text.data()));
        if (!BCRYPT_SUCCESS(BCryptHashData(hash_, data, static_cast<ULONG>(text.size()), 0))) {
            return false;
        }
        return BCRYPT_SUCCESS(
            BCryptFinishHash(hash_, out.data(), static_cast<ULONG>(out.size()), 0));
    }

  private:
    BCRYPT_ALG_HANDLE provider_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
};

std::string hexDigest(const std::array<UCHAR, 32>& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (UCHAR byte : digest) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0F]);
    }
    return hex;
}

}  // namespace

void check(unsigned result, const char* text) {
    if (result == 0) {
        return;
    }
    throw std::runtime_error(std::string(text) + " (WinMM " + std::to_string(result) + ")");
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    // The conversion takes an int length; a longer string cannot be converted in one piece.
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        throw std::runtime_error(kBadName);
    }
    const int wideLength = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        throw std::runtime_error(kBadName);
    }
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wideLength, &out[0], length, nullptr, nullptr);
    return out;
}

Device deviceAt(unsigned index) {
    MIDIOUTCAPSW caps;
    ZeroMemory(&caps, sizeof caps);
    check(midiOutGetDevCapsW(index, &caps, sizeof caps), u8"无法读取 MIDI 输出设备");

    // The driver may fill all 32 characters without a terminating NUL; take at most 32.
    std::wstring productName;
    for (size_t i = 0; i < static_cast<size_t>(MAXPNAMELEN) && caps.szPname[i] != L'\0'; ++i) {
        productName.push_back(caps.szPname[i]);
    }

    // Without an interface path two identical devices on different USB ports could only be
    // told apart by their index, which is exactly what the id must not depend on.
    const std::string path = interfacePath(index);
    if (path.empty()) {
        throw std::runtime_error(kNoStableId);
    }
    const std::string name = utf8(productName);

    std::string identity = kIdentityPrefix;
    identity += path;
    identity += '\n';
    identity += name;
    identity += '\n';
    identity += std::to_string(static_cast<unsigned>(caps.wMid));
    identity += ':';
    identity += std::to_string(static_cast<unsigned>(caps.wPid));
    identity += ':';
    identity += std::to_string(static_cast<unsigned long>(caps.vDriverVersion));
    identity += ':';
    identity += std::to_string(static_cast<unsigned>(caps.wTechnology));

    std::array<UCHAR, 32> digest{};
    {
        Sha256 sha;
        if (!sha.digest(identity, digest)) {
            throw std::runtime_error(kHashFailed);
        }
    }

    Device device;
    device.index = index;
    device.id = "winmm:" + hexDigest(digest);
    device.name = name.empty() ? std::string(kDefaultName) : name;
    return device;
}

std::vector<Device> devices() {
    const unsigned count = midiOutGetNumDevs();
    if (count > kMaxOutputs) {
        throw std::runtime_error(kTooMany);
    }
    std::vector<Device> found;
    for (unsigned index = 0; index < count; ++index) {
        // One port that cannot be identified (unplugged mid-enumeration, a driver without an
        // interface path) must not hide the others.
        try {
            found.push_back(deviceAt(index));
        } catch (...) {
        }
    }
    std::map<std::string, unsigned> occurrences;
    for (const Device& device : found) {
        ++occurrences[device.id];
    }
    std::vector<Device> unique;
    unique.reserve(found.size());
    for (Device& device : found) {
        if (occurrences[device.id] == 1) {
            unique.push_back(std::move(device));
        }
    }
    return unique;
}

}  // namespace mtcservice
