// The dashboard and the alerting rules in packaging/ against Prometheus itself: promtool checks the rules
// and runs their unit tests; then a real Prometheus on loopback scrapes the real server, with players
// in, every second, loads the rules, and answers every query of the dashboard and every alert
// expression; last, the server is stopped (SIGSTOP) and then killed, and the two alerts that tell
// those apart must each go pending on their own.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "http_stub.h"
#include "process.h"

using namespace quarel::testkit;
using nlohmann::json;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const fs::path kAlerts = fs::path(QUAREL_SOURCE_DIR) / "packaging/prometheus/alerts.yml";
const fs::path kAlertTests = fs::path(QUAREL_SOURCE_DIR) / "packaging/prometheus/alerts_test.yml";
const fs::path kDashboard = fs::path(QUAREL_SOURCE_DIR) / "packaging/grafana/quarel.json";

std::size_t append(char* data, std::size_t, std::size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, n);
    return n;
}

// A GET on loopback within 5 s: the body, or "" when there was no 200.
std::string http_get(const std::string& url) {
    std::string body;
    long status = 0;
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    const bool done = curl_easy_perform(c) == CURLE_OK && curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK;
    curl_easy_cleanup(c);
    return done && status == 200 ? body : "";
}

// Prometheus with `config` (YAML) in a directory of its own, listening on a free port of 127.0.0.1.
class Prometheus {
public:
    Prometheus(const std::string& binary, const std::string& config) {
        // Another test may take the port between the look and the bind: then it starts again on
        // another, all within 10 s.
        const auto until = Clock::now() + std::chrono::seconds(10);
        for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
            base_ = "http://127.0.0.1:" + std::to_string(HttpStub().port());
            process_ = std::make_unique<Process>(
                std::vector<std::string>{binary, "--config.file=config", "--storage.tsdb.path=data",
                                         "--web.listen-address=" + base_.substr(7), "--log.level=warn"},
                config);
            while (!ready_ && Clock::now() < until && process_->running()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                ready_ = !http_get(base_ + "/-/ready").empty();
            }
        }
    }
    bool ready() const { return ready_; }
    std::string output() const { return process_->output(); }

    // The API's answer to `path` with `expr` as its query, parsed (null when there was none).
    json api(const std::string& path, const std::string& expr = "") const {
        std::string url = base_ + path;
        if (!expr.empty()) {
            char* escaped = curl_easy_escape(nullptr, expr.c_str(), static_cast<int>(expr.size()));
            url += "?query=" + std::string(escaped);
            curl_free(escaped);
        }
        const std::string body = http_get(url);
        return body.empty() ? json() : json::parse(body, nullptr, false);
    }
    // The instant vector `expr` gives now; null when Prometheus did not accept it.
    json query(const std::string& expr) const {
        const json r = api("/api/v1/query", expr);
        return r.is_object() && r.value("status", "") == "success" ? r["data"]["result"] : json();
    }
    // The alerting rules as Prometheus loaded them, by name.
    std::map<std::string, json> alerts() const {
        std::map<std::string, json> out;
        const json r = api("/api/v1/rules");
        if (!r.is_object() || !r.contains("data")) return out;
        for (const json& group : r["data"]["groups"]) {
            for (const json& rule : group["rules"]) {
                if (rule["type"] == "alerting") out[rule["name"]] = rule;
            }
        }
        return out;
    }

private:
    std::unique_ptr<Process> process_;
    std::string base_;
    bool ready_ = false;
};

// Whether some sample in `result` is a number (not NaN, not infinite).
bool has_number(const json& result) {
    if (!result.is_array()) return false;
    for (const json& series : result) {
        if (std::isfinite(std::stod(series["value"][1].get<std::string>()))) return true;
    }
    return false;
}

// The data source a panel, query or variable names ("" when none).
std::string source_of(const json& j) { return j.value("datasource", json::object()).value("uid", ""); }

// Every panel of the dashboard, those inside rows included.
void collect_panels(const json& panels, std::vector<json>& out) {
    for (const json& p : panels) {
        out.push_back(p);
        if (p.contains("panels")) collect_panels(p["panels"], out);
    }
}

// `text` with the dashboard's variables replaced as Grafana would for this server; a variable left
// over is one Grafana would not know.
std::string substituted(std::string text, const std::string& instance) {
    const std::vector<std::pair<std::string, std::string>> values = {
        {"$__rate_interval", "1m"}, {"$__range", "1m"}, {"$job", "quarel"}, {"$instance", instance}};
    for (const auto& [name, value] : values) {
        for (std::size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), value);
    }
    return text;
}

// Sends `rounds` pairs of STATEs, 100 ms apart, reading the answers.
void play(const std::vector<std::unique_ptr<UdpClient>>& games, const ServerProcess& server, int rounds) {
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < games.size(); ++i) games[i]->send_to(server.game_port(), state_of(static_cast<std::int32_t>(i + 1)));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (const auto& g : games) {
            for (int k = 0; k < 16 && g->receive(0); ++k) {
            }
        }
    }
}

// Waits until `done` holds, at most `seconds`, checking every 100 ms (or every `step` call, which
// takes its own time).
bool wait_until(const std::function<bool()>& done, int seconds, const std::function<void()>& step = nullptr) {
    for (const auto until = Clock::now() + std::chrono::seconds(seconds); Clock::now() < until;) {
        if (done()) return true;
        if (step) {
            step();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return done();
}

}  // namespace

// promtool finds the rules' unit tests passing, and every alert has a test in
// which it fires.
TEST(DashboardsAndAlerts, RulesPassPromtool) {
    const std::string promtool = which({"/usr/bin/promtool", "/usr/local/bin/promtool"});
    if (promtool.empty()) GTEST_SKIP() << "promtool is not installed (scripts/ensure-deps.sh installs prometheus)";
    Process run({promtool, "test", "rules", kAlertTests.string()});  // which loads and checks the rules first
    EXPECT_EQ(run.finish(30000), 0) << run.output();
    const std::string rules = read_file(kAlerts), tests = read_file(kAlertTests);
    const std::regex alert(R"(- alert: (\w+))");
    int alerts = 0;
    for (std::sregex_iterator it(rules.begin(), rules.end(), alert), end; it != end; ++it, ++alerts) {
        const std::string name = (*it)[1];
        EXPECT_NE(tests.find("alertname: " + name + "\n        exp_alerts:"), std::string::npos) << name << " never fires in a test";
    }
    EXPECT_GE(alerts, 6);
}

TEST(DashboardsAndAlerts, PrometheusScrapesTheServerAndAnswersEveryQuery) {
    const std::string prometheus = which({"/usr/bin/prometheus", "/usr/local/bin/prometheus"});
    if (prometheus.empty()) GTEST_SKIP() << "prometheus is not installed (scripts/ensure-deps.sh installs it)";

    // The lobby holds its answer until released, then closes without one: a failed announcement that
    // Prometheus sees happen.
    HttpStub lobby(HttpAnswer{"", 20000, 0});
    ASSERT_TRUE(lobby.bound());
    StatusServer s("public 1\nlobby " + lobby.host() + "\n");
    ASSERT_NE(s.port, 0) << s.server.output();
    std::vector<std::unique_ptr<UdpClient>> games;
    UdpClient chat_a, chat_b;
    for (const auto* chat : {&chat_a, &chat_b}) {
        games.push_back(std::make_unique<UdpClient>());
        ASSERT_EQ(join_named(s.server, *games.back(), *chat, "P" + std::to_string(games.size())), static_cast<int>(games.size()));
    }
    Bytes wrong = state_of(1);
    wrong[0] ^= 0xFF;
    games[0]->send_to(s.server.game_port(), wrong);  // a wrong checksum, for the drops

    const std::string instance = s.host_port;
    Prometheus prom(prometheus, "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
                                "rule_files:\n  - " + kAlerts.string() + "\n"
                                "scrape_configs:\n  - job_name: quarel\n    static_configs:\n"
                                "      - targets: ['" + instance + "']\n");
    ASSERT_TRUE(prom.ready()) << prom.output();
    const auto keep_playing = [&] { play(games, s.server, 3); };
    const auto scrapes = [&](int n) {
        return [&, n] { return !prom.query("count_over_time(up{job=\"quarel\"}[1m]) >= " + std::to_string(n)).empty(); };
    };
    ASSERT_TRUE(wait_until(scrapes(2), 8, keep_playing)) << prom.output();
    lobby.release();
    ASSERT_TRUE(wait_until([&] { return !prom.query("quarel_lobby_announcements_total{result!=\"answered\"} > 0").empty(); }, 8, keep_playing));
    ASSERT_TRUE(wait_until(scrapes(5), 6, keep_playing));
    // Every rule evaluated since, the lobby's once it saw the failure.
    const auto evaluated = [&] {
        const auto alerts = prom.alerts();
        for (const auto& [name, rule] : alerts) {
            if (rule.value("lastEvaluation", "").starts_with("0001")) return false;
        }
        return alerts.contains("QuarelLobbyFailing") && alerts.at("QuarelLobbyFailing")["state"] == "pending";
    };
    ASSERT_TRUE(wait_until(evaluated, 5, keep_playing)) << prom.alerts()["QuarelLobbyFailing"];

    // The dashboard: imported on any Grafana (its data source a variable), and each query answered
    // with at least one number.
    const json dashboard = json::parse(read_file(kDashboard), nullptr, false);
    ASSERT_TRUE(dashboard.is_object()) << "not JSON";
    std::map<std::string, json> variables;
    for (const json& v : dashboard["templating"]["list"]) variables[v["name"]] = v;
    EXPECT_EQ(variables["datasource"].value("type", ""), "datasource");
    EXPECT_EQ(variables["datasource"].value("query", ""), "prometheus");
    for (const char* name : {"job", "instance"}) {
        // label_values(SELECTOR, LABEL): the selector finds this server's series, and they have the label.
        const std::string q = variables[name].value("query", "");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(q, m, std::regex(R"(label_values\((.+), (\w+)\))"))) << name << ": " << q;
        const json result = prom.query(substituted(m[1], instance));
        EXPECT_TRUE(!result.empty() && result[0]["metric"].contains(m[2].str())) << name << ": " << q << " gives " << result;
        EXPECT_EQ(source_of(variables[name]), "${datasource}") << name;
    }
    std::vector<json> panels;
    collect_panels(dashboard["panels"], panels);
    int queries = 0;
    for (const json& panel : panels) {
        const std::string title = panel.value("title", "");
        if (panel["type"] == "row") continue;
        EXPECT_EQ(source_of(panel), "${datasource}") << title;
        EXPECT_FALSE(panel.value("targets", json::array()).empty()) << title << " has no query";
        for (const json& target : panel.value("targets", json::array())) {
            ++queries;
            EXPECT_EQ(source_of(target), "${datasource}") << title;
            const std::string expr = substituted(target.value("expr", ""), instance);
            EXPECT_EQ(expr.find('$'), std::string::npos) << title << ": an unknown variable in " << expr;
            const json result = prom.query(expr);
            EXPECT_TRUE(has_number(result)) << title << ": " << expr << " gives " << result;
        }
    }
    EXPECT_GE(queries, 20);

    // The alerts on a healthy, playing server. Those with a threshold at the end are quiet, and what
    // they compare with the threshold has data; the lobby has just failed, so its alert is pending.
    enum class Now { Quiet, QuietWithData, Pending };
    const std::map<std::string, Now> expected = {
        {"QuarelServerDown", Now::Quiet},           {"QuarelLoopStalled", Now::Quiet},
        {"QuarelStateAnswersSlow", Now::QuietWithData}, {"QuarelDatagramsDropped", Now::QuietWithData},
        {"QuarelJoinsRefused", Now::QuietWithData}, {"QuarelGameSendsDropped", Now::QuietWithData},
        {"QuarelLobbyFailing", Now::Pending},       {"QuarelMemoryGrowing", Now::Quiet},
    };
    const std::map<std::string, json> alerts = prom.alerts();
    EXPECT_EQ(alerts.size(), expected.size());
    const std::regex threshold(R"(\s*>\s*[0-9.e+-]+$)");
    for (const auto& [name, rule] : alerts) {
        const std::string expr = rule["query"];
        ASSERT_TRUE(expected.contains(name)) << name << " has no expectation here";
        EXPECT_EQ(rule["health"], "ok") << name << ": " << rule.value("lastError", "");
        const Now want = expected.at(name);
        EXPECT_EQ(rule["state"], std::string(want == Now::Pending ? "pending" : "inactive")) << name;
        EXPECT_EQ(prom.query(expr).empty(), want != Now::Pending) << name << ": " << expr;
        if (want == Now::QuietWithData) {
            ASSERT_TRUE(std::regex_search(expr, threshold)) << name << ": no threshold at the end of " << expr;
            const std::string measure = std::regex_replace(expr, threshold, "");
            EXPECT_TRUE(has_number(prom.query(measure))) << name << ": " << measure;
        }
    }

    // A stopped loop leaves the scrape unanswered until its timeout; a dead server refuses it.
    const auto pending = [&](const char* name, const char* other) {
        return [&prom, name, other] {
            const auto a = prom.alerts();
            return a.contains(name) && a.at(name)["state"] == "pending" && a.at(other)["state"] == "inactive";
        };
    };
    ASSERT_EQ(::kill(s.server.pid(), SIGSTOP), 0);
    EXPECT_TRUE(wait_until(pending("QuarelLoopStalled", "QuarelServerDown"), 8)) << prom.alerts()["QuarelLoopStalled"];
    s.server.stop(SIGKILL);
    EXPECT_TRUE(wait_until(pending("QuarelServerDown", "QuarelLoopStalled"), 8)) << prom.alerts()["QuarelServerDown"];
}
