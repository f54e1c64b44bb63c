// quarel-bench: load benchmark of quarel-server against a baseline measured in the same run.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bans.h"
#include "baseline.h"
#include "handover.h"
#include "http_stub.h"
#include "http_load.h"
#include "load.h"
#include "platform/http_server.h"
#include "process.h"
#include "procfs.h"
#include "reflect.h"
#include "replay.h"
#include "report.h"
#include "scores.h"
#include "state_calls.h"

using namespace quarel::bench;
using quarel::testkit::Ports;
using quarel::testkit::ServerProcess;

namespace {

// The server under test: the real quarel-server, or the baseline (this program started again in its
// hidden baseline mode, or another build of the server given with --against).
enum class Kind : std::uint8_t { Real, Baseline };
const char* kind_name(Kind k) { return k == Kind::Real ? "server" : "baseline"; }

// Starts a server of `kind` with a config of `max_slots` slots (and the lines of `extra_config`) on
// `ports`; ready() tells whether it came up within the bound. `extra_args` go to the real server after
// its ports; `against`, when not empty, is the baseline's binary, another build of the server, started
// as the server is.
std::unique_ptr<ServerProcess> start(Kind kind, const std::string& real_binary, Ports ports, std::int32_t max_slots,
                                     const std::vector<std::string>& extra_args = {}, const std::string& against = "",
                                     const std::string& extra_config = "", bool anchor = false) {
    const std::string config = "slots " + std::to_string(max_slots) + "\n" + extra_config;
    if (kind == Kind::Real || !against.empty()) {
        std::vector<std::string> argv = ServerProcess::server_argv(kind == Kind::Real ? real_binary : against, ports);
        argv.insert(argv.end(), extra_args.begin(), extra_args.end());
        return std::make_unique<ServerProcess>(std::move(argv), ports, config);
    }
    std::vector<std::string> argv{quarel::testkit::beside_self("quarel-bench"), "--baseline-server", std::to_string(ports.chat),
                                  std::to_string(ports.game), std::to_string(max_slots)};
    if (anchor) argv.emplace_back("checksums");
    return std::make_unique<ServerProcess>(std::move(argv), ports, config);
}

struct Options {
    std::string server;
    std::string against;
    // Config lines added for the server and for the baseline (another build, or the same with other settings).
    std::string server_config, baseline_config;
    bool anchor = false;
    int rounds = 2;
    double closed_seconds = 3;
    double warmup = 0.5;
    int crc_every = 16;
    bool fixed_ports = false;
    bool json = false;
    bool with_baseline = true;
    std::vector<std::string> scenarios;
};

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: quarel-bench [options] [scenario ...]\n"
                 "scenarios (default: closed:4,32,128 open:64:60:10 open:698:30:10 idle:10 http:64:60:10 idle-http:10):\n"
                 "  closed:N             N players, each with one STATE outstanding: answers/s and round trip\n"
                 "  open:N:RATE:SECONDS  N players sending STATE at RATE Hz: loss and latency percentiles\n"
                 "  idle:SECONDS         a server with no players: CPU and wake-ups per second\n"
                 "  handler:N[:STATES]   the server's own code per STATE at N players, in process, no sockets\n"
                 "  spread:N:RATE:WINDOW[:STATES]  the same with STATEs arriving one at a time, N players at RATE Hz,\n"
                 "                       the answers' gathering window (answer_batch_us) WINDOW us\n"
                 "  http:N:RATE:SECONDS[:HELD[:STREAMS]]  open:N:RATE:SECONDS with the status listener on, HELD\n"
                 "                       connections (default 63) held open, idle or dripping a byte a second,\n"
                 "                       /metrics fetched 10 times a second and STREAMS (default 0) admin event\n"
                 "                       streams read along with a console line said 10 times a second, against\n"
                 "                       the same server without HTTP\n"
                 "  hooks:N:RATE:SECONDS open:N:RATE:SECONDS with the listener, one event stream and a line said 10\n"
                 "                       times a second in both columns; the server column also has a webhook that\n"
                 "                       never answers taking every line said\n"
                 "  idle-http:SECONDS    idle:SECONDS with the status listener on and nobody connected\n"
                 "  syscalls:N[,N...]    N players: system calls per answered STATE, counted exactly through ptrace\n"
                 "                       (the load fed while the server stands still): saturated, and in rounds\n"
                 "  bans:N:CALLS         a ban file of N bans (100000: the cap) and CALLS bans and unbans through the\n"
                 "                       admin API, 5 ms apart: each call's time in the loop and the writer's, in process\n"
                 "  scores:N[:DATAGRAMS] the server's own code per STATE and per HEALTH_DELTA at N named players with\n"
                 "                       the score keeper, against without it, in process\n"
                 "  map:N:RATE:SECONDS[:VIEWERS]  open:N:RATE:SECONDS with map_view public, VIEWERS (default 8)\n"
                 "                       asking for /map.json 5 times a second each, against the same server unwatched\n"
                 "  handover:N:RATE:SECONDS  N named players (at most 64) at RATE Hz through a stop and start with\n"
                 "                       the stored sockets and record, an upgrade by SIGUSR2 and a kill -9 with a\n"
                 "                       start 100 ms later: the longest gap between answers, players lost, and\n"
                 "                       the state file's writes a minute before\n"
                 "  reflect:N[,N...]     in process: what a forged victim holding every slot is sent when relays\n"
                 "                       are forged at 1,000 a second from one slot and from every slot, and\n"
                 "                       when JOINs are forged from one trusted address until the slots are full\n"
                 "  joins:N:JOINS        in process: JOINS JOINs forged from one trusted address, 400 a second, into N\n"
                 "                       slots: the bytes sent to that address\n"
                 "options:\n"
                 "  --rounds K       baseline/server pairs per scenario, alternated (default 2)\n"
                 "  --seconds S      closed-loop measuring window (default 3)\n"
                 "  --crc-every K    verify the checksum of every K-th answer of a player (default 16, 1 = all)\n"
                 "  --server PATH    the server binary (default: quarel-server beside this program)\n"
                 "  --fixed-ports    run on 4173/4174 instead of two free ports\n"
                 "  --no-baseline    measure the server alone\n"
                 "  --against PATH   another build of the server as the baseline (see bench/compare.sh)\n"
                 "  --anchor         the baseline checks every datagram's checksum and seals every reply (the\n"
                 "                   least any server of this protocol must do)\n"
                 "  --server-config LINE, --baseline-config LINE\n"
                 "                   a config line added for the server, or for the baseline (with --against:\n"
                 "                   the same build with other settings); each may be given more than once\n"
                 "  --json           JSON instead of the table\n");
}

std::string read_first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string load_average() {
    std::istringstream in(read_first_line("/proc/loadavg"));
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

std::string machine() {
    std::ifstream in("/proc/cpuinfo");
    std::string line, model = "unknown CPU";
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname u{};
    uname(&u);
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " + u.release;
}

std::string utc_now() {
    const std::time_t t = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", std::gmtime(&t));
    return buf;
}

// The results of one scenario's runs, per kind of server.
struct Runs {
    std::vector<RunResult> real, base;
    std::vector<RunResult>& of(Kind k) { return k == Kind::Real ? real : base; }
};

template <typename Field>
std::vector<double> collect(const std::vector<RunResult>& runs, Field f) {
    std::vector<double> v;
    for (const RunResult& r : runs) {
        if (r.error.empty()) v.push_back(f(r));
    }
    return v;
}

template <typename Field>
Figure figure(const std::string& name, Runs& runs, bool with_baseline, Field f, bool sum = false) {
    Figure fig;
    fig.name = name;
    auto agg = [&](const std::vector<RunResult>& rs) {
        const auto v = collect(rs, f);
        double total = 0;
        for (double x : v) total += x;
        return sum ? total : mean(v);
    };
    fig.server = agg(runs.real);
    if (with_baseline) fig.baseline = agg(runs.base);
    return fig;
}

// The figures of an open loop run beside another load (scrapers, map viewers), against the same loop
// alone: nothing lost, the latencies with the p99 at most `p99_limit` times the alone one's, the CPU.
void add_figures_beside(Scenario& sc, Runs& runs, double p99_limit) {
    Figure lost = figure("lost", runs, true, [](const RunResult& r) { return double(r.lost); }, true);
    lost.goal = Figure::Goal::AtMost;
    lost.limit = 0;
    sc.figures.push_back(lost);
    sc.figures.push_back(figure("latency p50 us", runs, true, [](const RunResult& r) { return r.latency.p50_us; }));
    Figure p99 = figure("latency p99 us", runs, true, [](const RunResult& r) { return r.latency.p99_us; });
    p99.goal = Figure::Goal::RatioAtMost;
    p99.limit = p99_limit;
    sc.figures.push_back(p99);
    sc.figures.push_back(figure("latency max us", runs, true, [](const RunResult& r) { return r.latency.max_us; }));
    sc.figures.push_back(figure("server CPU %", runs, true, [](const RunResult& r) { return r.server_cpu_pct; }));
}

class Bench {
public:
    explicit Bench(const Options& o) : opt_(o), ports_(o.fixed_ports ? Ports{4173, 4174} : quarel::testkit::free_ports()) {}

    // Runs `n` players against each kind of server, alternating which goes first, `rounds` times.
    template <typename Drive>
    Runs alternate(int n, Scenario& sc, Drive drive) {
        Runs runs;
        for (int round = 0; round < opt_.rounds; ++round) {
            const bool base_first = round % 2 == 0;
            for (int k = 0; k < 2; ++k) {
                const Kind kind = (k == 0) == base_first ? Kind::Baseline : Kind::Real;
                if (kind == Kind::Baseline && !opt_.with_baseline) continue;
                runs.of(kind).push_back(run_one(kind, n, sc, drive));
            }
        }
        return runs;
    }

    template <typename Drive>
    RunResult run_one(Kind kind, int n, Scenario& sc, Drive drive) {
        RunResult r;
        const auto child_ptr = start(kind, opt_.server, ports_, n, {}, opt_.against, config_of(kind), opt_.anchor);
        ServerProcess& child = *child_ptr;
        if (!child.ready()) {
            r.error = std::string(kind_name(kind)) + " did not start on ports " + std::to_string(ports_.chat) + "/" +
                      std::to_string(ports_.game);
            sc.notes.push_back(r.error);
            return r;
        }
        Players players(n);
        players.set_crc_every(opt_.crc_every);
        double join_seconds = 0;
        if (!players.join_and_ack(ports_.game, join_seconds)) {
            r.error = std::string(kind_name(kind)) + ": " + players.error();
            sc.notes.push_back(r.error);
            return r;
        }
        r = drive(players, child);
        r.join_seconds = join_seconds;
        if (!r.error.empty()) sc.notes.push_back(std::string(kind_name(kind)) + ": " + r.error);
        if (r.mismatches > 0) {
            std::string m = std::string(kind_name(kind)) + ": " + std::to_string(r.mismatches) + " wrong answers (";
            for (std::size_t v = 1; v < r.by_verdict.size(); ++v) {
                if (r.by_verdict[v]) m += std::string(verdict_name(static_cast<Verdict>(v))) + " " + std::to_string(r.by_verdict[v]) + " ";
            }
            m.back() = ')';
            sc.notes.push_back(m);
        }
        if (kind == Kind::Real && child.output().find("Timeout.") != std::string::npos) {
            sc.notes.push_back("server: a player timed out during the run");
        }
        return r;
    }

    Scenario closed(int n) {
        Scenario sc;
        sc.name = "closed " + std::to_string(n) + " players";
        Runs runs = alternate(n, sc, [&](Players& p, ServerProcess& c) {
            return p.closed_loop(ports_.game, c.pid(), opt_.closed_seconds, opt_.warmup);
        });
        const bool b = opt_.with_baseline;
        Figure rate = figure("answers/s", runs, b, [](const RunResult& r) { return r.answers_per_s; });
        rate.goal = Figure::Goal::RatioAtLeast;
        // Against the minimal server the checksums cost their share; against another build, nothing may be lost.
        rate.limit = !opt_.against.empty() ? 1.0 : n <= 32 ? 0.9 : 0.8;
        sc.figures.push_back(rate);
        sc.figures.push_back(figure("round trip p50 us", runs, b, [](const RunResult& r) { return r.latency.p50_us; }));
        sc.figures.push_back(figure("round trip p99 us", runs, b, [](const RunResult& r) { return r.latency.p99_us; }));
        sc.figures.push_back(figure("lost", runs, b, [](const RunResult& r) { return double(r.lost); }, true));
        sc.figures.push_back(figure("server CPU %", runs, b, [](const RunResult& r) { return r.server_cpu_pct; }));
        sc.figures.push_back(figure("client CPU %", runs, b, [](const RunResult& r) { return r.client_cpu_pct; }));
        return sc;
    }

    Scenario open(int n, double rate, double seconds) {
        Scenario sc;
        char name[96];
        std::snprintf(name, sizeof name, "open %d x %g Hz x %g s", n, rate, seconds);
        sc.name = name;
        Runs runs = alternate(n, sc, [&](Players& p, ServerProcess& c) { return p.open_loop(ports_.game, c.pid(), rate, seconds); });
        const bool b = opt_.with_baseline;
        sc.figures.push_back(figure("sent", runs, b, [](const RunResult& r) { return double(r.sent); }, true));
        sc.figures.push_back(figure("answered %", runs, b, [](const RunResult& r) {
            return r.sent ? 100.0 * double(r.answered) / double(r.sent) : 0.0;
        }));
        Figure lost = figure("lost", runs, b, [](const RunResult& r) { return double(r.lost); }, true);
        lost.goal = Figure::Goal::AtMost;
        lost.limit = 0;
        sc.figures.push_back(lost);
        sc.figures.push_back(figure("latency p50 us", runs, b, [](const RunResult& r) { return r.latency.p50_us; }));
        sc.figures.push_back(figure("latency p90 us", runs, b, [](const RunResult& r) { return r.latency.p90_us; }));
        Figure p99 = figure("latency p99 us", runs, b, [](const RunResult& r) { return r.latency.p99_us; });
        if (n <= 64) {
            p99.goal = Figure::Goal::RatioAtMost;
            p99.limit = 1.2;
        }
        sc.figures.push_back(p99);
        sc.figures.push_back(figure("latency max us", runs, b, [](const RunResult& r) { return r.latency.max_us; }));
        sc.figures.push_back(figure("socket drops", runs, b, [](const RunResult& r) { return double(r.server_drops); }, true));
        sc.figures.push_back(figure("server CPU %", runs, b, [](const RunResult& r) { return r.server_cpu_pct; }));
        sc.figures.push_back(figure("client CPU %", runs, b, [](const RunResult& r) { return r.client_cpu_pct; }));
        sc.figures.push_back(figure("server page faults", runs, b, [](const RunResult& r) { return double(r.server_minflt); }));
        Figure hwm = figure("peak RSS KiB", runs, b, [](const RunResult& r) { return double(r.server_hwm_kib); });
        if (n >= 698) {
            hwm.goal = Figure::Goal::Below;
            hwm.limit = 16 * 1024;
        }
        sc.figures.push_back(hwm);
        return sc;
    }

    // The open loop with the status listener under load, against the same server without it (shown
    // in the baseline column).
    // `hook`: the server column also has a webhook that never answers (a stub that takes the connection
    // and says nothing), which takes every line said as an admin event.
    Scenario http(int n, double rate, double seconds, int held, int streams, bool hook = false) {
        Scenario sc;
        char name[160];
        std::snprintf(name, sizeof name, "%s %d x %g Hz x %g s, %d held, %d event streams", hook ? "hooks" : "http", n, rate,
                      seconds, held, streams);
        sc.name = name;
        std::unique_ptr<quarel::testkit::HttpStub> silent;
        std::string hook_config;
        if (hook) {
            silent = std::make_unique<quarel::testkit::HttpStub>(quarel::testkit::http_status(0, 3'600'000));
            const std::string file = (std::filesystem::temp_directory_path() / ("quarel-bench-hooks-" + std::to_string(::getpid()))).string();
            std::ofstream(file) << "silent json http://" << silent->host() << "/hook admin chat join leave\n";
            ::chmod(file.c_str(), 0600);
            hook_config = "webhooks_file " + file + "\n";
            sc.notes.push_back("server column: a webhook to a stub that never answers, taking each line said (an admin event)");
        }
        char note[384];
        std::snprintf(note, sizeof note,
                      "%s%d held connections "
                      "(%d idle, %d dripping a byte a second) and /metrics fetched 10 times a second on a connection "
                      "of its own (the listener takes %u from one address: the held ones come from 127.0.0.1, .2, ..., "
                      "and each is closed %u s after it opened)",
                      streams > 0 ? "both columns: with --http, "
                                  : "baseline column: the same server without HTTP; server column: with --http, ",
                      held, held / 2, held - held / 2, quarel::platform::kHttpPerSource, quarel::platform::kHttpRequestSeconds);
        sc.notes.push_back(note);
        if (streams > 0) {
            std::snprintf(note, sizeof note,
                          "%s %d event streams (GET /api/events) read along and a console line said 10 times a second "
                          "(POST /api/say)%s",
                          hook ? "both columns:" : "the server column also", streams, hook ? "" : ", the baseline neither");
            sc.notes.push_back(note);
        }
        Runs runs;
        std::vector<HttpLoadResult> loads;
        for (int round = 0; round < opt_.rounds; ++round) {
            for (int k = 0; k < 2; ++k) {
                // With streams, both columns have the listener and its load; only the server's has the streams.
                const bool measured = (k == 0) != (round % 2 == 0);
                const bool with_http = measured || streams > 0;
                RunResult r;
                const auto child_ptr = start(Kind::Real, opt_.server, ports_, n,
                                             with_http ? std::vector<std::string>{"--http", "127.0.0.1:0"} : std::vector<std::string>{},
                                             measured ? hook_config : "");
                ServerProcess& child = *child_ptr;
                if (!child.ready()) {
                    sc.notes.push_back("server did not start");
                    continue;
                }
                std::unique_ptr<HttpLoad> load;
                if (with_http) {
                    const std::string marker = "HTTP status page on http://127.0.0.1:";
                    child.wait_for_output(marker);
                    const std::string out = child.output();
                    const std::size_t at = out.find(marker);
                    if (at == std::string::npos) {
                        sc.notes.push_back("server did not start its HTTP listener");
                        continue;
                    }
                    const auto port = static_cast<std::uint16_t>(std::atoi(out.c_str() + at + marker.size()));
                    // The token file is written just after the listener's line.
                    std::string token;
                    for (int i = 0; i < 200 && streams > 0 && token.size() < 64; ++i) {
                        std::ifstream(child.dir() / "admin_token") >> token;
                        if (token.size() < 64) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                    load = std::make_unique<HttpLoad>(port, held, 1000, 10.0, measured || hook ? streams : 0, token);
                }
                Players players(n);
                players.set_crc_every(opt_.crc_every);
                double join_seconds = 0;
                if (!players.join_and_ack(ports_.game, join_seconds)) {
                    sc.notes.push_back(players.error());
                    continue;
                }
                r = players.open_loop(ports_.game, child.pid(), rate, seconds);
                if (load) {
                    const HttpLoadResult h = load->stop();
                    loads.push_back(h);
                    char note[320];
                    std::snprintf(note, sizeof note, "round %d: %lld scrapes answered, %lld failed, scrape p99 %.1f ms, %lld held connections re-opened; "
                                  "%lld lines said, %lld bytes read from the event streams, %lld streams ended early",
                                  round + 1, static_cast<long long>(h.scrapes), static_cast<long long>(h.scrape_failures),
                                  h.scrape_p99_ms, static_cast<long long>(h.reconnects), static_cast<long long>(h.says),
                                  static_cast<long long>(h.stream_bytes), static_cast<long long>(h.streams_closed));
                    sc.notes.push_back(note);
                }
                if (!r.error.empty()) sc.notes.push_back(r.error);
                (measured ? runs.real : runs.base).push_back(r);
            }
        }
        sc.figures.push_back(figure("sent", runs, true, [](const RunResult& r) { return double(r.sent); }, true));
        add_figures_beside(sc, runs, 1.1);
        double scrapes = 0, failures = 0;
        for (const HttpLoadResult& h : loads) {
            scrapes += double(h.scrapes);
            failures += double(h.scrape_failures);
        }
        sc.figures.push_back({"scrapes answered", scrapes, std::nullopt});
        Figure failed{"scrapes failed", failures, std::nullopt};
        failed.goal = Figure::Goal::AtMost;
        failed.limit = 0;
        sc.figures.push_back(failed);
        return sc;
    }

    // The open loop with the public map watched by `viewers` viewers, against the same server (HTTP and
    // map_view public) that nobody watches.
    Scenario map(int n, double rate, double seconds, int viewers) {
        Scenario sc;
        char name[128];
        std::snprintf(name, sizeof name, "map %d x %g Hz x %g s, %d viewers", n, rate, seconds, viewers);
        sc.name = name;
        sc.notes.push_back("both columns: --http, map_view public, 2 s behind (so that the documents hold the players "
                           "for most of the window); the server column also has the viewers, each asking for /map.json 5 "
                           "times a second (as the page does) on a connection of its own");
        Runs runs;
        std::vector<MapViewersResult> seen;
        for (int round = 0; round < opt_.rounds; ++round) {
            for (int k = 0; k < 2; ++k) {
                const bool measured = (k == 0) != (round % 2 == 0);
                const auto child_ptr = start(Kind::Real, opt_.server, ports_, n, {"--http", "127.0.0.1:0"}, "",
                                             "map_view public\nmap_delay_seconds 2\n");
                ServerProcess& child = *child_ptr;
                const std::string marker = "HTTP status page on http://127.0.0.1:";
                if (!child.ready() || !child.wait_for_output(marker)) {
                    sc.notes.push_back("server did not start with its HTTP listener");
                    continue;
                }
                const std::string out = child.output();
                const auto port = static_cast<std::uint16_t>(std::atoi(out.c_str() + out.find(marker) + marker.size()));
                Players players(n);
                players.set_crc_every(opt_.crc_every);
                double join_seconds = 0;
                if (!players.join_and_ack(ports_.game, join_seconds)) {
                    sc.notes.push_back(players.error());
                    continue;
                }
                std::unique_ptr<MapViewers> watching;
                if (measured) watching = std::make_unique<MapViewers>(port, viewers, 5.0, "/map.json");
                RunResult r = players.open_loop(ports_.game, child.pid(), rate, seconds);
                if (watching) seen.push_back(watching->stop());
                if (!r.error.empty()) sc.notes.push_back(r.error);
                (measured ? runs.real : runs.base).push_back(r);
            }
        }
        add_figures_beside(sc, runs, 1.05);
        double answers = 0, failures = 0, bytes = 0;
        for (const MapViewersResult& m : seen) {
            answers += double(m.answers);
            failures += double(m.failures);
            bytes += double(m.bytes);
        }
        sc.figures.push_back({"map documents answered", answers, std::nullopt});
        Figure failed{"map requests failed", failures, std::nullopt};
        failed.goal = Figure::Goal::AtMost;
        failed.limit = 0;
        sc.figures.push_back(failed);
        sc.figures.push_back({"map bytes per document", answers > 0 ? bytes / answers : 0, std::nullopt});
        return sc;
    }

    Scenario idle(double seconds, bool with_http = false) {
        Scenario sc;
        char name[64];
        std::snprintf(name, sizeof name, with_http ? "idle %g s, HTTP on" : "idle %g s", seconds);
        sc.name = name;
        double cpu[2] = {0, 0}, wakes[2] = {0, 0};
        for (const Kind kind : {Kind::Baseline, Kind::Real}) {
            if (kind == Kind::Baseline && !opt_.with_baseline) continue;
            const auto child_ptr = start(kind, opt_.server, ports_, 4,
                                         with_http ? std::vector<std::string>{"--http", "127.0.0.1:0"} : std::vector<std::string>{},
                                         opt_.against, config_of(kind), opt_.anchor);
            ServerProcess& child = *child_ptr;
            if (!child.ready()) {
                sc.notes.push_back(std::string(kind_name(kind)) + " did not start");
                continue;
            }
            // Let start-up and the first clock tick pass.
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            ProcSample a, z;
            sample_process(child.pid(), a);
            const std::int64_t t0 = mono_ns();
            std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
            sample_process(child.pid(), z);
            const double wall = double(mono_ns() - t0) / 1e9;
            const int k = kind == Kind::Real ? 0 : 1;
            cpu[k] = 100.0 * double(z.cpu_ns - a.cpu_ns) / (wall * 1e9);
            wakes[k] = double(z.voluntary - a.voluntary) / wall;
        }
        Figure c{"CPU %", cpu[0], std::nullopt};
        Figure w{"wake-ups/s", wakes[0], std::nullopt};
        if (opt_.with_baseline) {
            c.baseline = cpu[1];
            w.baseline = wakes[1];
        }
        c.goal = w.goal = Figure::Goal::AtMost;
        c.limit = 0.1;
        w.limit = 1;
        sc.figures = {c, w};
        return sc;
    }

    // System calls per answered STATE, both ways of feeding the STATEs (testkit/state_calls.h). Exact
    // counts: one round per kind is enough.
    Scenario syscalls(int n) {
        Scenario sc;
        sc.name = "system calls " + std::to_string(n) + " players";
        const int states = std::max(1000, 125 * n);
        std::vector<double> saturated[2], rounds[2];
        for (const Kind kind : {Kind::Baseline, Kind::Real}) {
            if (kind == Kind::Baseline && !opt_.with_baseline) continue;
            const auto child_ptr = start(kind, opt_.server, ports_, n, {}, opt_.against, config_of(kind), opt_.anchor);
            ServerProcess& child = *child_ptr;
            if (!child.ready()) {
                sc.notes.push_back(std::string(kind_name(kind)) + " did not start");
                continue;
            }
            quarel::testkit::CountedPlayers players = quarel::testkit::join_players(child, n);
            if (players.ids.size() != static_cast<std::size_t>(n)) {
                sc.notes.push_back(std::string(kind_name(kind)) + ": a join got no WELCOME");
                continue;
            }
            const int k = kind == Kind::Real ? 0 : 1;
            for (const auto feed : {quarel::testkit::Feed::Saturated, quarel::testkit::Feed::Rounds}) {
                const auto c = quarel::testkit::count_state_calls(child, players, feed, states);
                if (!c.error.empty()) sc.notes.push_back(std::string(kind_name(kind)) + ": " + c.error);
                (feed == quarel::testkit::Feed::Saturated ? saturated : rounds)[k].push_back(c.per_answer());
                sc.notes.push_back(std::string(kind_name(kind)) +
                                   (feed == quarel::testkit::Feed::Saturated ? ", saturated: " : ", in rounds: ") + c.summary);
            }
        }
        for (const auto& [name, v] : {std::pair{"calls/answer saturated", saturated}, std::pair{"calls/answer in rounds", rounds}}) {
            Figure f{name, v[0].empty() ? 0 : v[0].front(), std::nullopt};
            if (opt_.with_baseline && !v[1].empty()) f.baseline = v[1].front();
            sc.figures.push_back(f);
        }
        return sc;
    }

private:
    std::string config_of(Kind kind) const { return kind == Kind::Real ? opt_.server_config : opt_.baseline_config; }

    const Options& opt_;
    Ports ports_;
};

bool parse_args(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool v = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--rounds" && v) {
            o.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--seconds" && v) {
            o.closed_seconds = std::max(0.1, std::atof(argv[++i]));
        } else if (a == "--crc-every" && v) {
            o.crc_every = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--server" && v) {
            o.server = argv[++i];
        } else if (a == "--fixed-ports") {
            o.fixed_ports = true;
        } else if (a == "--against" && v) {
            o.against = argv[++i];
        } else if (a == "--server-config" && v) {
            o.server_config += std::string(argv[++i]) + "\n";
        } else if (a == "--baseline-config" && v) {
            o.baseline_config += std::string(argv[++i]) + "\n";
        } else if (a == "--anchor") {
            o.anchor = true;
        } else if (a == "--no-baseline") {
            o.with_baseline = false;
        } else if (a == "--json") {
            o.json = true;
        } else if (a.rfind("closed:", 0) == 0 || a.rfind("open:", 0) == 0 || a.rfind("idle:", 0) == 0 ||
                   a.rfind("handler:", 0) == 0 || a.rfind("http:", 0) == 0 || a.rfind("hooks:", 0) == 0 ||
                   a.rfind("idle-http:", 0) == 0 || a.rfind("handover:", 0) == 0 || a.rfind("bans:", 0) == 0 ||
                   a.rfind("reflect:", 0) == 0 || a.rfind("joins:", 0) == 0 || a.rfind("syscalls:", 0) == 0 ||
                   a.rfind("spread:", 0) == 0 || a.rfind("scores:", 0) == 0 || a.rfind("map:", 0) == 0) {
            o.scenarios.push_back(a);
        } else {
            return false;
        }
    }
    return true;
}

const char* relay_name(std::uint8_t type) {
    switch (type) {
        case 0x83: return "RESPAWN";
        case 0x85: return "EVENT_BYTE";
        case 0x86: return "EVENT_WORD";
        default: return "EVENT_ALL";
    }
}

void print_join_storm(std::int32_t slots, int joins) {
    const JoinStorm j = run_join_storm(slots, joins, 400);
    std::printf("join storm at %d slots: %d JOINs (%.0f B) from one trusted address filled %d slots in %d s and "
                "sent it %.0f B (most in a second %.0f B)\n",
                slots, joins, j.bytes_in, j.players, j.seconds, j.bytes_out, j.most_in_one_second);
    std::fflush(stdout);
}

// The relays flooded at 1,000 a second for 5 s from one slot and from every slot, then the join storm:
// JOINs 400 a second (the rate a loopback flood of 700 reached) until every slot is taken, plus two.
void print_reflection(std::int32_t slots) {
    for (const bool every : {false, true}) {
        for (const RelayReflection& r : run_relay_reflection(slots, every, 1000, 5)) {
            std::printf("reflect %d slots, %s, from %s at 1,000/s (%.0f B/s in): to 1 slot held %.0f B/s (most in a "
                        "second %.0f), 2 slots %.0f (%.0f), every slot %.0f (%.0f)\n",
                        slots, relay_name(r.type), every ? "every slot" : "one slot", r.in_per_second, r.mean[0],
                        r.most[0], r.mean[1], r.most[1], r.mean[2], r.most[2]);
            std::fflush(stdout);
        }
    }
    print_join_storm(slots, slots + 2);
}

// "closed:4,32" -> {4, 32}; "open:64:60:10" -> {64, 60, 10}.
std::vector<double> numbers(const std::string& scenario) {
    std::vector<double> out;
    std::string cur;
    for (std::size_t i = scenario.find(':') + 1; i <= scenario.size(); ++i) {
        if (i == scenario.size() || scenario[i] == ':' || scenario[i] == ',') {
            if (!cur.empty()) out.push_back(std::atof(cur.c_str()));
            cur.clear();
        } else {
            cur += scenario[i];
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "--baseline-server") == 0) {
        return run_baseline_server(static_cast<std::uint16_t>(std::atoi(argv[2])),
                                   static_cast<std::uint16_t>(std::atoi(argv[3])), std::atoi(argv[4]),
                                   argc == 6 && std::strcmp(argv[5], "checksums") == 0);
    }
    Options opt;
    if (!parse_args(argc, argv, opt)) {
        usage(stderr);
        return 2;
    }
    if (opt.server.empty()) {
        opt.server = quarel::testkit::server_binary();
    }
    for (const std::string* binary : {&opt.server, &opt.against}) {
        if (binary->empty() && binary == &opt.against) continue;
        if (access(binary->c_str(), X_OK) != 0) {
            std::fprintf(stderr, "quarel-bench: no server binary at %s\n", binary->c_str());
            return 2;
        }
    }
    if (opt.scenarios.empty()) {
        opt.scenarios = {"closed:4,32,128", "open:64:60:10", "open:698:30:10", "idle:10", "http:64:60:10", "idle-http:10"};
    }
    rlimit nofile{};
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0) {
        nofile.rlim_cur = nofile.rlim_max;
        setrlimit(RLIMIT_NOFILE, &nofile);
    }

    Report report;
    report.date = utc_now();
    report.machine = machine();
    report.load_before = load_average();
    report.rounds = opt.rounds;
    if (!opt.against.empty()) report.baseline = "the server at " + opt.against;
    if (opt.against.empty() && opt.anchor) report.baseline = "the checksum anchor (one receive, a checksum check, a sealed reply, one send per datagram)";
    for (const auto& [who, lines] : {std::pair{"server", &opt.server_config}, std::pair{"baseline", &opt.baseline_config}}) {
        if (lines->empty()) continue;
        std::string shown = lines->substr(0, lines->size() - 1);  // one line feed after each line
        std::replace(shown.begin(), shown.end(), '\n', ',');
        report.baseline += std::string("; the ") + who + "'s config adds: " + shown;
    }
    Bench bench(opt);
    for (const std::string& scenario : opt.scenarios) {
        const std::vector<double> v = numbers(scenario);
        if (scenario.rfind("closed:", 0) == 0) {
            for (const double n : v) {
                if (n >= 1 && n <= 698) report.scenarios.push_back(bench.closed(static_cast<int>(n)));
            }
        } else if (scenario.rfind("open:", 0) == 0 && v.size() == 3 && v[0] >= 1 && v[0] <= 698 && v[1] > 0 && v[2] > 0) {
            report.scenarios.push_back(bench.open(static_cast<int>(v[0]), v[1], v[2]));
        } else if (scenario.rfind("handler:", 0) == 0) {
            // handler:N[,N...] or handler:N:STATES (a short run, for profilers).
            const bool counted = std::count(scenario.begin(), scenario.end(), ':') == 2 && v.size() == 2;
            for (std::size_t i = 0; i < (counted ? 1 : v.size()); ++i) {
                const double n = v[i];
                if (n < 1 || n > 698) continue;
                Scenario sc;
                sc.name = "handler " + std::to_string(static_cast<int>(n)) + " players";
                // About the same work at every size: fewer STATEs at more players.
                const int states = counted ? std::max(1, static_cast<int>(v[1])) : std::max(20'000, static_cast<int>(4'000'000 / n));
                sc.figures.push_back({"ns per STATE", handler_ns_per_state(static_cast<std::int32_t>(n), states), std::nullopt});
                sc.notes.push_back("server code only: dispatch, list, checksum; no socket calls");
                report.scenarios.push_back(sc);
            }
        } else if (scenario.rfind("scores:", 0) == 0 && !v.empty() && v.size() <= 2 && v[0] >= 2 && v[0] <= 698) {
            const auto n = static_cast<std::int32_t>(v[0]);
            const int datagrams = v.size() == 2 ? std::max(1, static_cast<int>(v[1])) : 200'000;
            std::vector<double> on_state, off_state, on_delta, off_delta;
            for (int round = 0; round < opt.rounds; ++round) {
                for (const bool scoring : {round % 2 == 0, round % 2 != 0}) {
                    const ScoreCost c = score_cost(n, datagrams, scoring);
                    (scoring ? on_state : off_state).push_back(c.ns_per_state);
                    (scoring ? on_delta : off_delta).push_back(c.ns_per_health_delta);
                }
            }
            Scenario sc;
            sc.name = "scores " + std::to_string(n) + " named players";
            sc.notes.push_back("server code only, in process; baseline column: the same server without the score keeper");
            sc.figures.push_back({"ns per STATE", mean(on_state), mean(off_state)});
            sc.figures.push_back({"ns per HEALTH_DELTA", mean(on_delta), mean(off_delta)});
            sc.figures.push_back({"us per map document", map_document_us(n), std::nullopt});
            report.scenarios.push_back(sc);
        } else if (scenario.rfind("map:", 0) == 0 && v.size() >= 3 && v.size() <= 4 && v[0] >= 1 && v[0] <= 698 &&
                   v[1] > 0 && v[2] > 0) {
            const int viewers = v.size() == 4 ? std::clamp(static_cast<int>(v[3]), 1, 16) : 8;
            report.scenarios.push_back(bench.map(static_cast<int>(v[0]), v[1], v[2], viewers));
        } else if (scenario.rfind("handover:", 0) == 0 && v.size() == 3 && v[0] >= 1 && v[0] <= 64 && v[1] > 0 && v[2] > 0) {
            // Figures of their own, printed as they come: each way once per round.
            for (int round = 0; round < opt.rounds; ++round) {
                for (const HandoverWay way : {HandoverWay::StopAndStart, HandoverWay::Upgrade, HandoverWay::KillAndStart}) {
                    const HandoverResult h = run_handover(opt.server, way, static_cast<int>(v[0]), v[1], v[2]);
                    std::printf("handover %s: %s\n", handover_way_name(way),
                                h.error.empty() ? "" : ("error: " + h.error).c_str());
                    std::printf("  longest gap %.0f ms (usual %.0f ms), players lost %lld, PLAYER_GONE %lld, "
                                "not found as they were %lld, answered %lld of %lld; state file written %.1f times a "
                                "minute before\n",
                                h.longest_gap_ms, h.usual_gap_ms, static_cast<long long>(h.players_lost),
                                static_cast<long long>(h.player_gone), static_cast<long long>(h.ids_names_health_wrong),
                                static_cast<long long>(h.answered), static_cast<long long>(h.sent), h.state_writes_per_minute);
                    std::fflush(stdout);
                }
            }
        } else if (scenario.rfind("bans:", 0) == 0 && v.size() == 2 && v[0] >= 0 && v[1] >= 1) {
            // Printed as it comes, like the hand-over's: in process, no server to compare with.
            for (int round = 0; round < opt.rounds; ++round) {
                const BansResult b = run_bans(static_cast<int>(v[0]), static_cast<int>(v[1]));
                std::printf("bans %d: load %.0f ms; in the loop: a page of 1,000 median %.2f ms, slowest %.2f ms; a "
                            "ban or unban median %.3f ms, slowest %.3f ms (%d calls); one write of the file %.0f ms%s%s\n",
                            static_cast<int>(v[0]), b.load_ms, b.page_median_ms, b.page_ms, b.call_median_ms,
                            b.call_max_ms, b.calls,
                            b.write_ms, b.error.empty() ? "" : "; error: ", b.error.c_str());
                std::fflush(stdout);
            }
        } else if (scenario.rfind("spread:", 0) == 0 && (v.size() == 3 || v.size() == 4) && v[0] >= 1 && v[0] <= 698 &&
                   v[1] > 0 && v[2] >= 0) {
            Scenario sc;
            char name[96];
            std::snprintf(name, sizeof name, "spread %d x %g Hz, %d us", static_cast<int>(v[0]), v[1], static_cast<int>(v[2]));
            sc.name = name;
            const int states = v.size() == 4 ? std::max(1, static_cast<int>(v[3])) : std::max(20'000, static_cast<int>(4'000'000 / v[0]));
            sc.figures.push_back({"ns per STATE", spread_ns_per_state(static_cast<std::int32_t>(v[0]), v[1], static_cast<std::int32_t>(v[2]), states), std::nullopt});
            sc.notes.push_back("server code only, STATEs one at a time; no socket calls");
            report.scenarios.push_back(sc);
        } else if (scenario.rfind("syscalls:", 0) == 0) {
            for (const double n : v) {
                if (n >= 1 && n <= 250) report.scenarios.push_back(bench.syscalls(static_cast<int>(n)));
            }
        } else if (scenario.rfind("reflect:", 0) == 0) {
            // Exact byte counts, printed as they come: nothing to compare with, no time measured.
            for (const double n : v) {
                if (n < 2 || n > 698) continue;
                const auto slots = static_cast<std::int32_t>(n);
                print_reflection(slots);
            }
        } else if (scenario.rfind("joins:", 0) == 0 && v.size() == 2 && v[0] >= 1 && v[0] <= 698 && v[1] >= 1) {
            print_join_storm(static_cast<std::int32_t>(v[0]), static_cast<int>(v[1]));
        } else if (scenario.rfind("idle:", 0) == 0 && v.size() == 1 && v[0] > 0) {
            report.scenarios.push_back(bench.idle(v[0]));
        } else if (scenario.rfind("idle-http:", 0) == 0 && v.size() == 1 && v[0] > 0) {
            report.scenarios.push_back(bench.idle(v[0], true));
        } else if (scenario.rfind("http:", 0) == 0 && v.size() >= 3 && v.size() <= 5 && v[0] >= 1 && v[0] <= 698 &&
                   v[1] > 0 && v[2] > 0) {
            // 63 held connections by default: with the scraper's, the listener's 64.
            const int held = v.size() >= 4 ? std::clamp(static_cast<int>(v[3]), 0, 1000) : 63;
            const int streams = v.size() == 5 ? std::clamp(static_cast<int>(v[4]), 0, 8) : 0;
            report.scenarios.push_back(bench.http(static_cast<int>(v[0]), v[1], v[2], held, streams));
        } else if (scenario.rfind("hooks:", 0) == 0 && v.size() == 3 && v[0] >= 1 && v[0] <= 698 && v[1] > 0 && v[2] > 0) {
            // Both columns: the listener, one event stream and a line said ten times a second.
            report.scenarios.push_back(bench.http(static_cast<int>(v[0]), v[1], v[2], 0, 1, true));
        } else {
            std::fprintf(stderr, "quarel-bench: bad scenario %s\n", scenario.c_str());
            return 2;
        }
        if (!opt.json) std::fprintf(stderr, "done: %s\n", scenario.c_str());
    }
    report.load_after = load_average();
    const std::string out = opt.json ? render_json(report) : render_table(report);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
