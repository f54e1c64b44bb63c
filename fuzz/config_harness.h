// The config fuzz harness: the config reader on arbitrary file contents, then everything start-up
// builds from the result (slot clamp, banner, server state) and the two messages whose size depends on
// configured text (MAP_INFO and the loop message).
//
// Checked: every text setting stays within its field and holds only bytes its syntax can produce;
// reading the same file twice gives the same settings as reading it once (but for the lists, whose lines
// add); a note from the clamp exactly when a number was out of its bounds; reading a file in two parts
// split after a line feed gives the same settings as reading it whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "checks.h"
#include "chat/chat.h"
#include "core/config_keys.h"
#include "core/banner.h"
#include "core/console.h"
#include "core/settings.h"
#include "fake_network.h"
#include "manual_clock.h"

namespace quarel::fuzz {

namespace config_detail {

// Every key of the table (the positions are whole numbers as floats, so == is exact); the lists, whose
// lines add, only when `lists` is set.
inline bool same(const core::Settings& a, const core::Settings& b, bool lists = true) {
    for (const core::ConfigKey& k : core::config_keys()) {
        if (!lists && core::is_list(k.kind)) continue;
        if (!core::same(k, a, b)) return false;
    }
    return true;
}

inline bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Raw text values stop at any byte that read as signed 8 bits is 25 or less.
inline bool raw_text_ok(const std::string& t, std::size_t max) {
    if (t.size() > max) return false;
    for (const char c : t) {
        if (static_cast<signed char>(c) <= 25) return false;
    }
    return true;
}

// Words: at least one byte, no white space and no NUL.
inline bool word_ok(const std::string& t, std::size_t max) {
    if (t.empty() || t.size() > max) return false;
    for (const char c : t) {
        if (c == '\0' || is_space(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

class NullConsole final : public core::Console {
public:
    void write(std::string_view text) override { FUZZ_CHECK(!text.empty() && text.back() == '\n'); }
};

}  // namespace config_detail

// Reads one file's contents (any bytes) and checks everything above; a broken check aborts.
inline void run_config_input(const std::uint8_t* data, std::size_t size) {
    using namespace config_detail;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    core::Settings once;
    core::apply_config(once, text);

    FUZZ_CHECK(!once.server_name.empty() && raw_text_ok(once.server_name, protocol::kNameField - 1));
    FUZZ_CHECK(raw_text_ok(once.loop_msg, protocol::kLongTextField - 1));
    FUZZ_CHECK(word_ok(once.map_name, protocol::kLongTextField - 1));
    FUZZ_CHECK(word_ok(once.lobby_host, protocol::kLongTextField - 1));
    FUZZ_CHECK(word_ok(once.admin_token_file, protocol::kLongTextField - 1));

    core::Settings twice = once;
    core::apply_config(twice, text);
    FUZZ_CHECK(same(once, twice, false));

    const std::size_t lf = text.find('\n', size / 2);
    if (lf != std::string_view::npos) {
        core::Settings parts;
        core::apply_config(parts, text.substr(0, lf + 1));
        core::apply_config(parts, text.substr(lf + 1));
        FUZZ_CHECK(same(once, parts));
    }

    core::Settings used = once;
    const auto note = core::clamp_max_slots(used);
    FUZZ_CHECK(used.max_slots >= core::kMinSlots && used.max_slots <= core::kMaxSlots);
    // A note exactly when some number was brought into its bounds.
    FUZZ_CHECK(note.has_value() == !same(used, once));
    const std::string banner = core::banner(used);
    FUZZ_CHECK(banner.rfind("Quarel MultiPlayer Server\n", 0) == 0 && banner.back() == '\n');

    // The longest messages built from configured text must fit the packet buffer (ASan watches the
    // writes) and carry the text whole.
    const FuzzSourceHash hash;
    core::ServerState s(used, hash);
    testkit::FakeNetwork net;
    testkit::ManualClock clock;
    NullConsole out;
    core::Outbox outbox(net, clock, s.metrics);
    core::Io io{outbox, clock, out};
    s.packet[protocol::kTypeAt] = protocol::chat_in::ASK_MAP;
    chat::on_ask_map(s, io, core::Datagram{s.buf().first(3), net::Address::ipv4(127, 0, 0, 1, 1), clock.now()});
    FUZZ_CHECK(net.sent.size() == 1);
    FUZZ_CHECK(net.sent.back().bytes.size() == protocol::map_info::kFixed + used.map_name.size());
    FUZZ_CHECK(protocol::checksum_ok(net.sent.back().bytes));

    if (used.loop_time > 0) {
        // One named player, so that the loop message is really sent.
        const std::int32_t me = s.table.take();
        s.table[me].game_addr = net::Address::ipv4(127, 0, 0, 1, 2);
        s.table[me].chat_addr = net::Address::ipv4(127, 0, 0, 1, 3);
        s.table[me].name[0] = 'a';
        net.sent.clear();
        chat::loop_message_step(s, io, clock.now());
        FUZZ_CHECK(net.sent.size() == 1);
        const auto& loop_msg = net.sent.back().bytes;
        FUZZ_CHECK(loop_msg.size() == protocol::text_msg::kText + used.loop_msg.size() + 1);
        FUZZ_CHECK(protocol::checksum_ok(loop_msg));
        FUZZ_CHECK(std::memcmp(loop_msg.data() + protocol::text_msg::kText, used.loop_msg.data(), used.loop_msg.size()) == 0);
    }
}

}  // namespace quarel::fuzz
