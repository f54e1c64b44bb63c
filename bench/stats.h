// Latency summaries and the comparisons with the baseline.
#pragma once

#include <cstdint>
#include <vector>

namespace quarel::bench {

struct Latency {
    std::size_t samples = 0;
    double p50_us = 0, p90_us = 0, p99_us = 0, max_us = 0;
};

// Nearest-rank percentiles over round trips in nanoseconds (the vector is sorted in place).
Latency summarize(std::vector<std::int64_t>& ns);

// The percentile p (0 < p <= 100) of sorted samples by nearest rank: the smallest sample with at least
// p percent of the samples at or below it.
std::int64_t nearest_rank(const std::vector<std::int64_t>& sorted, double p);

// real / baseline; 0 when the baseline is 0.
double ratio(double real, double baseline);

// Mean of the figures measured in each round.
double mean(const std::vector<double>& v);

}  // namespace quarel::bench
