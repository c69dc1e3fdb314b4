#include "platform/clock.h"

#include <windows.h>

namespace mtcservice {

double nowSeconds() {
    // The frequency is fixed at boot; read it once (thread-safe static initialisation).
    static const double f = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / f;
}

}  // namespace mtcservice
