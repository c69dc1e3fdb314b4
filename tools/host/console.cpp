#include "tools/host/console.h"

namespace mtchost {

Console::Console() {
    out_ = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // A console answers GetConsoleMode; a pipe or file does not (and a character device that
    // is not a console, such as NUL, is no place for "\r" either).
    terminal_ = out_ != nullptr && out_ != INVALID_HANDLE_VALUE &&
                GetFileType(out_) == FILE_TYPE_CHAR && GetConsoleMode(out_, &mode) != 0;
    if (terminal_) {
        SetConsoleOutputCP(CP_UTF8);  // the service's messages are Chinese, in UTF-8
    }
}

void Console::write(const std::string& bytes) {
    if (out_ == nullptr || out_ == INVALID_HANDLE_VALUE || bytes.empty()) {
        return;
    }
    DWORD written = 0;
    WriteFile(out_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Console::line(const std::string& text) {
    if (terminal_ && !status_.empty()) {
        write("\r" + std::string(status_.size(), ' ') + "\r" + text + "\n" + status_);
        return;
    }
    write(text + "\n");
}

void Console::status(const std::string& text) {
    if (!terminal_) {
        write(text + "\n");
        return;
    }
    // Never as wide as the window: a line that wraps cannot be redrawn with "\r".
    std::string padded = text;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(out_, &info)) {
        const int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width > 1 && padded.size() >= static_cast<size_t>(width)) {
            padded.resize(static_cast<size_t>(width) - 1);
        }
    }
    if (padded.size() < status_.size()) {
        padded.append(status_.size() - padded.size(), ' ');
    }
    write("\r" + padded);
    status_ = padded;
}

void Console::endStatus() {
    if (terminal_ && !status_.empty()) {
        write("\n");
    }
    status_.clear();
}

}  // namespace mtchost
