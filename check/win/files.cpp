#include "check/win/files.h"

#include <vector>

namespace mtccheck {
namespace {

std::string lastErrorText(const std::string& what) {
    return what + " (Windows error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) {
        return std::wstring();
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return std::string();
    }
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

FileFollower::~FileFollower() {
    if (file_ != INVALID_HANDLE_VALUE) {
        CloseHandle(file_);
    }
}

bool FileFollower::poll(std::string& out) {
    if (file_ == INVALID_HANDLE_VALUE) {
        // The writer keeps the file open for writing; share everything so neither side fails.
        file_ = CreateFileW(path_.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) {
            return true;
        }
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_, &size)) {
        return true;
    }
    bool continuous = true;
    if (static_cast<uint64_t>(size.QuadPart) < offset_) {
        offset_ = 0;
        continuous = false;
    }
    char buffer[65536];
    while (offset_ < static_cast<uint64_t>(size.QuadPart)) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset_);
        SetFilePointerEx(file_, at, nullptr, FILE_BEGIN);
        DWORD got = 0;
        if (!ReadFile(file_, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            break;
        }
        out.append(buffer, got);
        offset_ += got;
    }
    return continuous;
}

std::wstring recordingPath(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return L"Z:" + widen(path);
    }
    return widen(path);
}

bool makeFolders(const std::wstring& path) {
    std::wstring partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\' || path[i] == L'/') {
            if (!partial.empty() && partial.back() != L':') {
                CreateDirectoryW(partial.c_str(), nullptr);
            }
        }
        if (i < path.size()) {
            partial += path[i];
        }
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool writeFile(const std::wstring& path, const std::string& bytes, std::string& error) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        error = lastErrorText("cannot create " + narrow(path));
        return false;
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    if (!ok) {
        error = lastErrorText("cannot write " + narrow(path));
    }
    CloseHandle(f);
    return ok;
}

bool readFile(const std::wstring& path, std::string& bytes, std::string& error, uint64_t most) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        error = lastErrorText("cannot open " + narrow(path));
        return false;
    }
    bytes.clear();
    bool ok = true;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(f, buffer, sizeof buffer, &got, nullptr)) {
            error = lastErrorText("cannot read " + narrow(path));
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        if (bytes.size() + got > most) {
            error = narrow(path) + " is larger than " +
                    (most == (1 << 20) ? std::string("1 MiB") : std::to_string(most) + " bytes");
            ok = false;
            break;
        }
        bytes.append(buffer, got);
    }
    CloseHandle(f);
    return ok;
}

std::wstring programFolder() {
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring path(buffer.data(), n);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace mtccheck
