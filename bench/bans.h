// The admin calls on a ban list at its cap: the time each spends in the loop, and the writer's.
#pragma once

#include <string>

namespace quarel::bench {

struct BansResult {
    double load_ms = 0;           // the file of `bans` bans loaded (at start-up)
    double page_ms = 0;           // GET /api/bans, a page of 1,000: the slowest
    double page_median_ms = 0;    // and the median
    double call_max_ms = 0;       // a ban or an unban (POST/DELETE /api/bans) in the loop: the slowest
    double call_median_ms = 0;    // and the median
    double write_ms = 0;          // one write of the whole file by the writer (rewrite, replace, flush)
    int calls = 0;
    std::string error;
};

// `bans` bans in a ban file of a fresh directory under /tmp; then `calls` bans and unbans through the
// admin API, one every 5 ms (as a script would), collecting the writer's reports between them as the
// loop does after every pass.
BansResult run_bans(int bans, int calls);

}  // namespace quarel::bench
