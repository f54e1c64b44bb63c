// The benchmark's results: a table for people and JSON for tools.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quarel::bench {

// One measured figure of the server, beside the same figure of the baseline when there is one.
struct Figure {
    std::string name;
    double server = 0;
    std::optional<double> baseline;
    // The target, if any: on the ratio to the baseline ("ratio >= 0.9") or on the figure itself.
    enum class Goal { None, RatioAtLeast, RatioAtMost, AtMost, Below } goal = Goal::None;
    double limit = 0;

    std::optional<double> ratio() const;
    std::optional<bool> met() const;
    std::string target_text() const;
};

struct Scenario {
    std::string name;
    std::vector<Figure> figures;
    std::vector<std::string> notes;  // mismatches, errors, what limited the run
};

struct Report {
    std::string date;
    std::string machine;
    std::string load_before, load_after;
    int rounds = 0;
    // What the baseline column is: the minimal server, or another build of the server (--against).
    std::string baseline = "the minimal server (one receive, one send per datagram)";
    std::vector<Scenario> scenarios;
};

std::string render_table(const Report& r);
std::string render_json(const Report& r);
// JSON string literal with the escapes JSON needs.
std::string json_quote(const std::string& s);

}  // namespace quarel::bench
