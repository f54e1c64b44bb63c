// Who may take a slot: the kick bars, the allow list, the per-source cap and join allowance, and the
// refusal lines. A refused JOIN is answered SERVER_FULL by on_join, exactly like a full server.
#include <algorithm>
#include <cstdio>
#include <string>

#include "core/join_allowance.h"
#include "core/safe_text.h"
#include "game/game.h"
#include "net/range.h"

namespace quarel::game {

namespace {

const core::RejoinBar* rejoin_bar(const ServerState& s, const net::Address& from, std::int64_t now) {
    const std::int64_t seconds = s.settings.kick_rejoin_seconds;
    for (const core::RejoinBar& bar : s.rejoin_bars) {
        if (bar.address == from && now < bar.kicked_at + seconds) return &bar;
    }
    return nullptr;
}

bool at_per_ip_cap(const ServerState& s, const net::Address& from) {
    const std::int32_t cap = s.settings.max_per_ip;
    if (cap <= 0) return false;
    const core::SourceKey key = core::source_key(from);
    std::int32_t held = 0;
    for (const protocol::PlayerSlot& p : s.table) {
        if (p.occupied() && core::source_key(p.game_addr) == key) ++held;
    }
    return held >= cap;
}

// The allowance holds unless it is turned off or the source is trusted; a source it does not hold
// spends nothing and takes no place in the table.
bool allowance_spent(ServerState& s, const net::Address& from, std::int64_t now) {
    const core::Settings& st = s.settings;
    if (st.join_burst <= 0 || st.join_rate <= 0 || net::any_contains(st.trusted, from)) return false;
    return !s.join_allowance.take(from, now, st.join_burst, st.join_rate);
}

}  // namespace

bool rejoin_barred(const ServerState& s, const net::Address& from, std::int64_t now) {
    return rejoin_bar(s, from, now) != nullptr;
}

bool refuse_barred(ServerState& s, Io& io, const net::Address& from, std::int64_t now) {
    const core::RejoinBar* bar = rejoin_bar(s, from, now);
    if (bar == nullptr) return false;
    const long long ago = std::max<std::int64_t>(0, now - bar->kicked_at);  // 0 on a clock set back
    const long long left = bar->kicked_at + s.settings.kick_rejoin_seconds - now;
    core::count_refusal(s, core::JoinRefusal::RejoinBar, now);
    char why[96];
    std::snprintf(why, sizeof why, "kicked %lld s ago, barred for %lld s more.", ago, left);
    print_refusal(s, io, from, now, why);
    return true;
}

void print_refusal(ServerState& s, Io& io, const net::Address& from, std::int64_t now, const char* why) {
    if (!s.join_lines.admit(now)) return;
    const std::string text = from.to_string();
    io.out.print({.kind = core::LogKind::Refusal, .level = core::LogLevel::Warning, .address = text},
                 "Refused join from %s: %s\n", text.empty() ? "an unknown address" : text.c_str(), why);
}

bool admit_join(ServerState& s, Io& io, const net::Address& from, std::int64_t now) {
    // A stranger to a private game spends nothing of anyone's.
    if (s.allowed != nullptr && !s.allowed->admits(from)) {
        core::count_refusal(s, core::JoinRefusal::AllowList, now);
        const std::string_view closed = s.allowed->closed();
        if (closed.empty()) {
            print_refusal(s, io, from, now, "not on the allow list.");
        } else {
            const std::string why = "the allow file gives no range (" + core::escape_controls(closed) +
                                    "); remove the file to open the game.";
            print_refusal(s, io, from, now, why.c_str());
        }
        return false;
    }
    // The cap is checked first so that a source at its cap does not spend its allowance.
    if (at_per_ip_cap(s, from)) {
        core::count_refusal(s, core::JoinRefusal::MaxPerIp, now);
        print_refusal(s, io, from, now, "too many players from one address.");
        return false;
    }
    if (allowance_spent(s, from, now)) {
        core::count_refusal(s, core::JoinRefusal::Allowance, now);
        print_refusal(s, io, from, now, "too many joins.");
        // A LAN party without `trusted` meets this first and sees a full server: the host is told what
        // to set, once a run.
        if (!s.join_hint_said) {
            s.join_hint_said = true;
            io.out.print({.kind = core::LogKind::Refusal, .level = core::LogLevel::Warning},
                         "Hint: %s (now %d at once, %d a second).\n", core::kJoinAllowanceHint, s.settings.join_burst,
                         s.settings.join_rate);
        }
        return false;
    }
    return true;
}

}  // namespace quarel::game
