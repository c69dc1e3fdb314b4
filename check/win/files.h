// Files and text as the checking side meets them on Windows: whole files, a recording that
// another process is still writing, UTF-8 and UTF-16 text, and the program's own folder.
// Any thread unless a class says otherwise; allocates; never waits on anything but the disk.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace mtccheck {

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);

// Follows a file that another process appends to, from its start. The file need not exist
// yet; a file that shrinks (truncated by a new writer) is followed again from its start.
// One owner thread.
class FileFollower {
  public:
    explicit FileFollower(std::wstring path) : path_(std::move(path)) {}
    FileFollower(const FileFollower&) = delete;
    FileFollower& operator=(const FileFollower&) = delete;
    ~FileFollower();

    // Appends whatever was added since the last call to `out`. Returns false when the file
    // started over (the caller must forget what it read before). Never waits.
    bool poll(std::string& out);

  private:
    std::wstring path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    uint64_t offset_ = 0;
};

// A Windows path for a path as the recording's writer takes it: a path that starts with "/"
// is a Unix path, reached through drive Z: under Wine.
std::wstring recordingPath(const std::string& path);

// Creates a folder and its parents; true when it exists afterwards.
bool makeFolders(const std::wstring& path);
// Writes a whole file (others may read it meanwhile); false with `error` set on failure.
bool writeFile(const std::wstring& path, const std::string& bytes, std::string& error);
// Reads a whole file that another process may still be writing; false with `error` set on
// failure or when it holds more than `most` bytes.
bool readFile(const std::wstring& path, std::string& bytes, std::string& error,
              uint64_t most = 1 << 20);
// The folder of this program, with a trailing backslash.
std::wstring programFolder();

}  // namespace mtccheck
