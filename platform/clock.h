// The one monotonic clock behind every timing decision of the service and of its WinMM sink.
// It sits below both, so that neither has to reach into the other for the time.
#pragma once

namespace mtcservice {

// Seconds since an arbitrary fixed origin, from the high-resolution performance counter.
// Never decreases; unrelated to wall-clock time. Any thread; never blocks or allocates.
double nowSeconds();

}  // namespace mtcservice
