// Percentiles and ratios.
#include "stats.h"

#include <algorithm>
#include <cmath>

namespace quarel::bench {

std::int64_t nearest_rank(const std::vector<std::int64_t>& sorted, double p) {
    if (sorted.empty()) return 0;
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const std::size_t i = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
    return sorted[std::min(i, sorted.size() - 1)];
}

Latency summarize(std::vector<std::int64_t>& ns) {
    Latency l;
    l.samples = ns.size();
    if (ns.empty()) return l;
    std::sort(ns.begin(), ns.end());
    l.p50_us = static_cast<double>(nearest_rank(ns, 50)) / 1000.0;
    l.p90_us = static_cast<double>(nearest_rank(ns, 90)) / 1000.0;
    l.p99_us = static_cast<double>(nearest_rank(ns, 99)) / 1000.0;
    l.max_us = static_cast<double>(ns.back()) / 1000.0;
    return l;
}

double ratio(double real, double baseline) { return baseline == 0 ? 0 : real / baseline; }

double mean(const std::vector<double>& v) {
    if (v.empty()) return 0;
    double sum = 0;
    for (const double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

}  // namespace quarel::bench
