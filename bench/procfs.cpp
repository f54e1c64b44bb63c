// /proc readers for CPU time, wake-ups, memory and socket drops.
#include "procfs.h"

#include <dirent.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace quarel::bench {

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool to_i64(std::string_view text, std::int64_t& v, int base = 10) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v, base);
    return r.ec == std::errc{} && r.ptr != text.data();
}

// Splits off the next blank-separated field.
std::string_view next_field(std::string_view& rest) {
    std::size_t i = 0;
    while (i < rest.size() && rest[i] == ' ') ++i;
    std::size_t end = i;
    while (end < rest.size() && rest[end] != ' ' && rest[end] != '\n') ++end;
    const std::string_view f = rest.substr(i, end - i);
    rest.remove_prefix(end);
    return f;
}

}  // namespace

std::int64_t parse_schedstat_ns(std::string_view text) {
    std::int64_t v = 0;
    return to_i64(text, v) ? v : -1;
}

bool parse_status_field(std::string_view status, std::string_view key, std::int64_t& value) {
    std::size_t at = 0;
    while (at < status.size()) {
        const std::size_t eol = status.find('\n', at);
        const std::string_view line = status.substr(at, eol == std::string_view::npos ? std::string_view::npos : eol - at);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':') {
            return to_i64(line.substr(key.size() + 1), value);
        }
        if (eol == std::string_view::npos) break;
        at = eol + 1;
    }
    return false;
}

std::int64_t parse_stat_minflt(std::string_view stat) {
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return -1;
    std::string_view rest = stat.substr(close + 1);
    // After the name: state(3) ppid pgrp session tty_nr tpgid flags minflt(10).
    for (int field = 3; field < 10; ++field) {
        if (next_field(rest).empty()) return -1;
    }
    std::int64_t v = 0;
    return to_i64(next_field(rest), v) ? v : -1;
}

bool sample_process(pid_t pid, ProcSample& out) {
    const std::string base = "/proc/" + std::to_string(pid);
    const std::string status = slurp(base + "/status");
    if (status.empty()) return false;
    ProcSample s;
    parse_status_field(status, "VmRSS", s.rss_kib);
    parse_status_field(status, "VmHWM", s.hwm_kib);
    s.minflt = parse_stat_minflt(slurp(base + "/stat"));
    DIR* dir = opendir((base + "/task").c_str());
    if (dir == nullptr) return false;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = base + "/task/" + e->d_name;
        const std::int64_t ns = parse_schedstat_ns(slurp(task + "/schedstat"));
        if (ns > 0) s.cpu_ns += ns;
        const std::string ts = slurp(task + "/status");
        std::int64_t v = 0;
        if (parse_status_field(ts, "voluntary_ctxt_switches", v)) s.voluntary += v;
        if (parse_status_field(ts, "nonvoluntary_ctxt_switches", v)) s.involuntary += v;
    }
    closedir(dir);
    out = s;
    return true;
}

bool parse_udp_line(std::string_view line, UdpSocketInfo& out) {
    // "  sl  local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ref pointer drops"
    std::string_view rest = line;
    const std::string_view sl = next_field(rest);
    if (sl.empty() || sl.back() != ':') return false;
    const std::string_view local = next_field(rest);
    const std::size_t colon = local.rfind(':');
    std::int64_t port = 0;
    if (colon == std::string_view::npos || !to_i64(local.substr(colon + 1), port, 16)) return false;
    next_field(rest);  // remote address
    next_field(rest);  // state
    const std::string_view queues = next_field(rest);
    const std::size_t qc = queues.find(':');
    std::int64_t rx = 0;
    if (qc == std::string_view::npos || !to_i64(queues.substr(qc + 1), rx, 16)) return false;
    std::string_view last;
    for (std::string_view f = next_field(rest); !f.empty(); f = next_field(rest)) last = f;
    std::int64_t drops = 0;
    if (!to_i64(last, drops)) return false;
    out.port = static_cast<std::uint16_t>(port);
    out.rx_queue = rx;
    out.drops = drops;
    return true;
}

std::int64_t udp_drops(std::uint16_t port) {
    std::int64_t total = 0;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::istringstream in(slurp(table));
        std::string line;
        while (std::getline(in, line)) {
            UdpSocketInfo info;
            if (parse_udp_line(line, info) && info.port == port) total += info.drops;
        }
    }
    return total;
}

}  // namespace quarel::bench
