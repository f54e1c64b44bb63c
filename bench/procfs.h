// What /proc tells about a server process and its sockets.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string_view>

namespace quarel::bench {

struct ProcSample {
    std::int64_t cpu_ns = 0;        // time on a CPU, all threads (schedstat)
    std::int64_t voluntary = 0;     // voluntary context switches, all threads: one per sleep that ended
    std::int64_t involuntary = 0;
    std::int64_t minflt = 0;        // minor page faults
    std::int64_t rss_kib = 0;       // VmRSS
    std::int64_t hwm_kib = 0;       // VmHWM: the peak resident size
};

// False when the process is gone.
bool sample_process(pid_t pid, ProcSample& out);

// Parsers, exposed for the tests.
// First field of /proc/<pid>/task/<tid>/schedstat: nanoseconds on a CPU. -1 when unreadable.
std::int64_t parse_schedstat_ns(std::string_view text);
// The number after "<key>:" in a status file. False when the key is absent.
bool parse_status_field(std::string_view status, std::string_view key, std::int64_t& value);
// Field 10 (minflt) of /proc/<pid>/stat; the command name may hold blanks and parentheses. -1 on error.
std::int64_t parse_stat_minflt(std::string_view stat);

struct UdpSocketInfo {
    std::uint16_t port = 0;
    std::int64_t rx_queue = 0;  // bytes waiting
    std::int64_t drops = 0;     // datagrams dropped at this socket since it was made
};
// One line of /proc/net/udp or /proc/net/udp6. False for the header or a malformed line.
bool parse_udp_line(std::string_view line, UdpSocketInfo& out);
// Drops summed over every socket bound to local `port` (IPv4 and IPv6 tables).
std::int64_t udp_drops(std::uint16_t port);

}  // namespace quarel::bench
