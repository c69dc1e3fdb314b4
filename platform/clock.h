// The one monotonic clock behind every timing decision of the service.
#pragma once

namespace mtcservice {

// Seconds since an arbitrary fixed origin, from the high-resolution performance counter.
// Never decreases; unrelated to wall-clock time. Any thread; never blocks or allocates.
double nowSeconds();

}  // namespace mtcservice
