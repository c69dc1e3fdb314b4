// The "--self-test" mode of mtc-service.
#pragma once

namespace mtcservice {

// Main thread, from the entry. Runs the self test (simulated clock and output: no device, no
// thread, no input) and writes its one verdict line to standard output. Returns 0 when the self
// test passed and its line was written, 1 otherwise. May block on the write; allocates. Never
// throws.
int selfTestMode();

}  // namespace mtcservice
