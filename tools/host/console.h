// mtc-host's standard output: where the show's lines, the status line and the report go.
#pragma once

#include <windows.h>

#include <string>

namespace mtchost {

// Standard output, aware of whether a person is watching. On a console the status line is
// redrawn in place with "\r"; anything else (a pipe, a file) gets plain lines. Never writes to
// standard error; a failed write is ignored (there is nowhere else to say it). Main thread;
// allocates; may block while the reader of a pipe is slow.
class Console {
  public:
    Console();
    bool terminal() const { return terminal_; }
    // One line of output; on a console the status line is cleared first and redrawn after.
    void line(const std::string& text);
    // The status line: redrawn in place on a console, printed as a line otherwise.
    void status(const std::string& text);
    // Leaves the status line where it is and moves on (console only).
    void endStatus();

  private:
    void write(const std::string& bytes);

    HANDLE out_ = nullptr;
    bool terminal_ = false;
    std::string status_;
};

}  // namespace mtchost
