// Order statistics for the checks' figures. Pure: any thread, never blocks; allocates only the
// sorted copy it takes by value.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace mtccheck {

// Order statistics of a set of values (nearest rank); NaN when the set is empty.
struct Figures {
    size_t count = 0;
    double p1 = 0, p50 = 0, p99 = 0, max = 0, min = 0, mean = 0;
};
Figures figuresOf(std::vector<double> values);

// The value at fraction `p` of the sorted values (0 the least, 1 the greatest, rounding down);
// NaN for none.
double percentile(std::vector<double> values, double p);
// The middle value (the upper one of an even count); NaN for none.
double median(std::vector<double> values);

// One line of figures for values in seconds, shown in milliseconds with `decimals` places:
// "<what, padded to width> n=<count> p50=... p99=... max=... ms" and a line feed.
std::string distributionLine(const std::string& what, const std::vector<double>& seconds, int width,
                             int decimals);

}  // namespace mtccheck
