#include "check/stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace mtccheck {

Figures figuresOf(std::vector<double> values) {
    Figures f;
    f.count = values.size();
    if (values.empty()) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        f.p1 = f.p50 = f.p99 = f.max = f.min = f.mean = nan;
        return f;
    }
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least p percent of the values at or below it.
    auto rank = [&](double p) {
        size_t r = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
        return values[std::max<size_t>(r, 1) - 1];
    };
    f.p1 = rank(1);
    f.p50 = rank(50);
    f.p99 = rank(99);
    f.min = values.front();
    f.max = values.back();
    double sum = 0;
    for (double v : values) {
        sum += v;
    }
    f.mean = sum / static_cast<double>(values.size());
    return f;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(std::floor(p * static_cast<double>(values.size() - 1)))];
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string distributionLine(const std::string& what, const std::vector<double>& seconds, int width,
                             int decimals) {
    char text[400];
    std::snprintf(text, sizeof text, "%-*s n=%-6zu p50=%7.*f p99=%7.*f max=%7.*f ms\n", width,
                  what.c_str(), seconds.size(), decimals, percentile(seconds, 0.5) * 1e3, decimals,
                  percentile(seconds, 0.99) * 1e3, decimals, percentile(seconds, 1.0) * 1e3);
    return text;
}

}  // namespace mtccheck
