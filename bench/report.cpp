// Table and JSON rendering.
#include "report.h"

#include <cmath>
#include <cstdio>

namespace quarel::bench {

std::optional<double> Figure::ratio() const {
    if (!baseline || *baseline == 0) return std::nullopt;
    return server / *baseline;
}

std::optional<bool> Figure::met() const {
    switch (goal) {
        case Goal::None: return std::nullopt;
        case Goal::AtMost: return server <= limit;
        case Goal::Below: return server < limit;
        case Goal::RatioAtLeast:
        case Goal::RatioAtMost: {
            const auto q = ratio();
            if (!q) return std::nullopt;
            return goal == Goal::RatioAtLeast ? *q >= limit : *q <= limit;
        }
    }
    return std::nullopt;
}

namespace {

std::string num(double v) {
    char buf[64];
    if (std::fabs(v) >= 1000 || v == std::floor(v)) {
        std::snprintf(buf, sizeof buf, "%.0f", v);
    } else if (std::fabs(v) >= 10) {
        std::snprintf(buf, sizeof buf, "%.1f", v);
    } else {
        std::snprintf(buf, sizeof buf, "%.3g", v);
    }
    return buf;
}

std::string json_num(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

std::string pad(std::string s, std::size_t w) {
    if (s.size() < w) s.append(w - s.size(), ' ');
    return s;
}

}  // namespace

std::string Figure::target_text() const {
    switch (goal) {
        case Goal::None: return "";
        case Goal::RatioAtLeast: return "ratio >= " + num(limit);
        case Goal::RatioAtMost: return "ratio <= " + num(limit);
        case Goal::AtMost: return "<= " + num(limit);
        case Goal::Below: return "< " + num(limit);
    }
    return "";
}

std::string render_table(const Report& r) {
    std::string out;
    out += "quarel-bench " + r.date + "\n";
    out += "machine: " + r.machine + "\n";
    out += "load average before: " + r.load_before + "  after: " + r.load_after + "\n";
    out += "baseline: " + r.baseline + "\n";
    out += "rounds: " + std::to_string(r.rounds) + " per scenario, baseline and server alternated\n\n";
    out += pad("scenario", 26) + pad("figure", 24) + pad("server", 12) + pad("baseline", 12) + pad("ratio", 8) +
           pad("target", 16) + "result\n";
    for (const Scenario& s : r.scenarios) {
        bool first = true;
        for (const Figure& f : s.figures) {
            out += pad(first ? s.name : "", 26) + pad(f.name, 24) + pad(num(f.server), 12) +
                   pad(f.baseline ? num(*f.baseline) : "-", 12);
            const auto q = f.ratio();
            out += pad(q ? num(*q) : "-", 8) + pad(f.target_text(), 16);
            const auto m = f.met();
            out += m ? (*m ? "met" : "MISSED") : "";
            while (!out.empty() && out.back() == ' ') out.pop_back();
            out += "\n";
            first = false;
        }
        for (const std::string& n : s.notes) out += pad("", 26) + "note: " + n + "\n";
    }
    return out;
}

std::string json_quote(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string render_json(const Report& r) {
    std::string out = "{\n";
    out += "  \"date\": " + json_quote(r.date) + ",\n";
    out += "  \"machine\": " + json_quote(r.machine) + ",\n";
    out += "  \"load_before\": " + json_quote(r.load_before) + ",\n";
    out += "  \"load_after\": " + json_quote(r.load_after) + ",\n";
    out += "  \"rounds\": " + std::to_string(r.rounds) + ",\n";
    out += "  \"baseline\": " + json_quote(r.baseline) + ",\n";
    out += "  \"scenarios\": [";
    for (std::size_t i = 0; i < r.scenarios.size(); ++i) {
        const Scenario& s = r.scenarios[i];
        out += i ? ",\n" : "\n";
        out += "    {\"name\": " + json_quote(s.name) + ", \"figures\": [";
        for (std::size_t j = 0; j < s.figures.size(); ++j) {
            const Figure& f = s.figures[j];
            out += j ? ",\n" : "\n";
            out += "      {\"name\": " + json_quote(f.name) + ", \"server\": " + json_num(f.server);
            out += ", \"baseline\": " + (f.baseline ? json_num(*f.baseline) : std::string("null"));
            const auto q = f.ratio();
            out += ", \"ratio\": " + (q ? json_num(*q) : std::string("null"));
            out += ", \"target\": " + (f.goal == Figure::Goal::None ? std::string("null") : json_quote(f.target_text()));
            const auto m = f.met();
            out += ", \"met\": " + (m ? std::string(*m ? "true" : "false") : std::string("null")) + "}";
        }
        out += "\n    ], \"notes\": [";
        for (std::size_t j = 0; j < s.notes.size(); ++j) out += (j ? ", " : "") + json_quote(s.notes[j]);
        out += "]}";
    }
    out += "\n  ]\n}\n";
    return out;
}

}  // namespace quarel::bench
