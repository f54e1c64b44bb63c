// /proc readers for the process metrics.
#include "platform/process_stats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quarel::platform {

namespace {

std::string read_all(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

double boot_time() {
    std::istringstream in(read_all("/proc/stat"));
    std::string key;
    double value = 0;
    while (in >> key) {
        if (key == "btime" && in >> value) return value;
        in.ignore(1 << 20, '\n');
    }
    return 0;
}

std::uint64_t count_fds() {
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr) return 0;
    std::uint64_t n = 0;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
    // The directory being read is itself an open descriptor, gone once the count is taken.
    return n > 0 ? n - 1 : 0;
}

}  // namespace

bool parse_proc_stat(std::string_view stat, double boot, long ticks, long page, core::ProcessSample& out) {
    // The command name (field 2) is in parentheses and may hold blanks and ')': fields resume after
    // the last ')'.
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos || ticks <= 0) return false;
    std::istringstream in{std::string(stat.substr(close + 1))};
    // Fields 3.. ; we need utime (14), stime (15), starttime (22), vsize (23), rss (24).
    std::vector<std::string> f;
    std::string word;
    while (f.size() < 22 && in >> word) f.push_back(word);
    if (f.size() < 22) return false;
    const auto num = [&](int field) { return std::strtoull(f[static_cast<std::size_t>(field - 3)].c_str(), nullptr, 10); };
    out.cpu_seconds = static_cast<double>(num(14) + num(15)) / static_cast<double>(ticks);
    out.start_time_seconds = boot + static_cast<double>(num(22)) / static_cast<double>(ticks);
    out.virtual_bytes = num(23);
    out.resident_bytes = num(24) * static_cast<std::uint64_t>(page);
    out.valid = true;
    return true;
}

core::ProcessSample read_process_stats() {
    core::ProcessSample s;
    if (!parse_proc_stat(read_all("/proc/self/stat"), boot_time(), ::sysconf(_SC_CLK_TCK), ::sysconf(_SC_PAGESIZE), s)) {
        return s;
    }
    s.open_fds = count_fds();
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0) s.max_fds = r.rlim_cur;
    return s;
}

}  // namespace quarel::platform
