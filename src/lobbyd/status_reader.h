// The seam to the HTTP client that reads a listed server's status page (/status.json): a few reads at
// once, each bounded in size and time, never blocking the loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/address.h"

namespace quarel::lobbyd {

// A read must be over within this long, its answer at most this large; otherwise it failed.
inline constexpr int kStatusDeadlineMs = 2000;
inline constexpr std::size_t kStatusBytes = 256 * 1024;

enum class ReadOutcome : std::uint8_t { Ok, Failed, TooLarge, TimedOut };

struct StatusRead {
    std::uint64_t ticket = 0;
    ReadOutcome outcome = ReadOutcome::Failed;
    std::string body;  // Ok: the answer's body (status 200)
};

class StatusReader {
public:
    virtual ~StatusReader() = default;
    // Starts a GET of http://`where`/status.json (its port the status page's). False when no read can
    // start now (all places taken); the caller tries another time.
    virtual bool start(std::uint64_t ticket, const net::Address& where) = 0;
    // Moves the reads on and appends those that ended.
    virtual void take(std::vector<StatusRead>& ended) = 0;
};

}  // namespace quarel::lobbyd
