#include "service/selftest_mode.h"

#include <exception>

#include "selftest/selftest.h"
#include "service/line_io.h"

namespace mtcservice {

int selfTestMode() {
    namespace st = velmarmtc::selftest;
    try {
        const st::Verdict verdict = st::judge(&st::run);
        try {
            writeJson(verdict.line);
            return verdict.exitCode;
        } catch (const std::exception& failure) {
            // A pass that nobody can read is not a pass: the host must not mistake a broken
            // output for success. The failed line is attempted with the write's own message (it
            // most likely fails the same way, and there is no other channel to try).
            if (verdict.exitCode == 0) {
                try {
                    writeJson(st::failedLine(failure.what()));
                } catch (const std::exception&) {
                }
            }
            return 1;
        }
    } catch (...) {
        // Only allocation failure while building a line gets here.
        return 1;
    }
}

}  // namespace mtcservice
