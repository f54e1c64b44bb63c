// The ban-list scenario: the admin API and the ban file as the server wires them, in process.
#include "bans.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "admin/api.h"
#include "harness.h"
#include "platform/admin_files.h"

namespace quarel::bench {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

std::string ipv4(int i) {
    return "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255);
}

}  // namespace

BansResult run_bans(int bans, int calls) {
    BansResult r;
    std::string made = "/tmp/quarel-bench-bans-XXXXXX";
    if (::mkdtemp(made.data()) == nullptr) {
        r.error = "no temporary directory";
        return r;
    }
    const std::filesystem::path dir = made;
    {
        std::ofstream out(dir / "bans");
        for (int i = 0; i < bans; ++i) out << ipv4(i) << " 0 number " << i << "\n";
    }
    testkit::Harness h(testkit::with_slots(8));
    h.clock.set(1'000'000);
    admin::BanList list;
    platform::BanFile file((dir / "bans").string());
    auto t = Clock::now();
    file.load(list, h.clock.now(), h.out);
    r.load_ms = ms_since(t);
    admin::Gate gate;
    gate.set_token("bench-token-0123456789");
    admin::AdminContext ctx{h.state,
                            h.io.io,
                            list,
                            gate,
                            [](std::int32_t, std::string_view, std::string_view, std::string_view, std::int64_t) { return false; },
                            [](std::string_view) { return 0; },
                            [](std::int32_t, std::int64_t, std::string_view, std::string_view, std::string_view,
                               std::int64_t) {},
                            [](std::int32_t, std::string_view, std::string_view, std::int64_t) { return false; },
                            [] { return core::ReloadReport{true, {}, ""}; },
                            [&file](admin::BanList& l, std::string& error) { return file.save(l, error); }};
    const auto call = [&](const char* method, const std::string& query, const std::string& body) {
        const net::HttpRequest req{method, "/api/bans", query, "Bearer bench-token-0123456789", body,
                                   net::Address::ipv4(127, 0, 0, 1, 40000)};
        const auto start = Clock::now();
        const net::HttpResponse resp = admin::handle(ctx, req, h.clock.now());
        const double took = ms_since(start);
        if (resp.status != 200 && r.error.empty()) r.error = std::string(method) + " answered " + std::to_string(resp.status);
        return took;
    };
    std::vector<double> pages;
    for (int i = 0; i < 9; ++i) pages.push_back(call("GET", "limit=1000&after=" + ipv4(i * 10'000), ""));
    std::ranges::sort(pages);
    r.page_median_ms = pages[pages.size() / 2];
    r.page_ms = pages.back();
    // The writer's own time: one whole write, waited for.
    t = Clock::now();
    std::string error;
    file.save(list, error);
    file.flush(list, h.clock.now(), h.out);
    r.write_ms = ms_since(t);
    std::vector<double> took;
    for (int i = 0; i < calls; ++i) {
        const std::string range = ipv4(i % std::max(1, bans));
        took.push_back(i % 2 == 0 ? call("DELETE", "range=" + range, "")
                                  : call("POST", "", "{\"range\":\"" + range + "\",\"reason\":\"again\"}"));
        file.collect(list, h.clock.now(), h.out);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    file.flush(list, h.clock.now(), h.out);
    if (!file.save_error().empty() && r.error.empty()) r.error = file.save_error();
    std::ranges::sort(took);
    r.calls = calls;
    if (!took.empty()) {
        r.call_max_ms = took.back();
        r.call_median_ms = took[took.size() / 2];
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return r;
}

}  // namespace quarel::bench
