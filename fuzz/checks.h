// Checks for the fuzz targets: every datagram the server sends is judged as it is sent, and the slot
// table's invariants.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <span>
#include <vector>

#include "core/server_state.h"
#include "fake_network.h"
#include "game/game.h"
#include "net/transport.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::fuzz {

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

#define FUZZ_CHECK(cond)                 \
    do {                                 \
        if (!(cond)) ::quarel::fuzz::fail(#cond); \
    } while (0)

// The limiters' table hash: any fixed spread will do for the invariants, and a run must repeat.
class FuzzSourceHash final : public core::SourceHash {
public:
    std::uint64_t operator()(const core::SourceKey& key) const override {
        std::uint64_t h = 0;
        for (const std::uint8_t b : key) h = (h ^ b) * 0x100000001b3ull;
        return h ^ (h >> 29);
    }
};

// The datagram the server read last, so that each send can be judged against it. Inactive once a read
// found nothing: what is sent then comes from the loop's own jobs.
struct EventContext {
    bool active = false;
    net::Socket socket = net::Socket::Chat;
    net::Address from;
    std::uint8_t type = 0;
};

// A STATE answer the server owes: STATE answers may be held back while more game datagrams wait, but
// they must leave in the order of their STATEs and before anything else is sent.
struct OwedAnswer {
    net::Address to;
    std::int32_t others;
    bool detailed;
};

// Watches the fake network the server talks to: notes every datagram handed over and judges every
// datagram sent (accepted or failed) against it, the STATE answers owed and the slot table.
class SendJudge {
public:
    SendJudge(const core::ServerState& s, testkit::FakeNetwork& net, net::Clock& clock) : s_(s), clock_(clock) {
        net.on_receive = [this](net::Socket socket, std::span<const std::uint8_t> d, const net::Address& from) {
            settle_stranger();
            if (d.empty()) {
                event = {};
                welcomed_ = false;
            } else {
                handing_over(socket, d, from);
            }
        };
        net.on_send = [this](const testkit::SendAttempt& a) {
            // Send retries end after a bounded number of would-blocks; anything else is a hang.
            if (a.result == net::SendResult::WouldBlock) {
                FUZZ_CHECK(++blocks_ < 1000);
                return;
            }
            judge(a.socket, a.to, a.bytes);
        };
    }
    SendJudge(const SendJudge&) = delete;
    SendJudge& operator=(const SendJudge&) = delete;

    void new_event() { blocks_ = 0; }

    // Every STATE handed over has been answered.
    bool nothing_owed() const { return owed_.empty(); }
    std::size_t judged() const { return judged_; }
    std::size_t answers_matched() const { return answers_matched_; }

    EventContext event;

private:
    // Notes what the server is about to handle: the sender and type for the judge, and for a
    // well-formed STATE from a player in the game (from its join address, under the sender rules) the
    // answer it owes (to the address the player joined from, listing the PlayerCount - 1 others,
    // detailed once the player has acknowledged).
    void handing_over(net::Socket socket, std::span<const std::uint8_t> d, const net::Address& from) {
        namespace p = protocol;
        event = {true, socket, from, d.size() >= p::kHeaderSize ? d[p::kTypeAt] : std::uint8_t{0}};
        welcomed_ = false;
        join_refusals_before_ = s_.metrics.join_refusals.total();
        // Under the sender rules, a datagram from a host bound to no player changes no player: a JOIN
        // only adds one (and sends everybody back to brief lists, as any join does).
        if (s_.settings.strict_senders != 0 && !(socket == net::Socket::Game && event.type == p::game_in::JOIN) &&
            !bound_to_a_player(from)) {
            stranger_before_.assign(s_.table.begin(), s_.table.end());
            stranger_pending_ = true;
        }
        if (socket != net::Socket::Game || event.type != p::game_in::STATE || d.size() < p::state::kSize) return;
        if (!p::checksum_ok(d)) return;
        const std::int32_t slot = s_.table.find_by_id(p::get_i32(d, p::state::kId));
        if (slot < 0) return;
        // Under the sender rules only the player's own join address is answered.
        if (s_.settings.strict_senders != 0 && s_.table[slot].game_addr != from) return;
        owed_.push_back({s_.table[slot].game_addr, s_.table.player_count() - 1, s_.table[slot].acks > 0});
    }

    bool bound_to_a_player(const net::Address& from) const {
        for (const auto& p : s_.table) {
            if (!p.occupied()) continue;
            if (p.game_addr.same_host(from) || (p.chat_addr.valid && p.chat_addr == from)) return true;
        }
        return false;
    }

    static bool same_player_state(const protocol::PlayerSlot& a, const protocol::PlayerSlot& b) {
        return a.id == b.id && a.health == b.health && a.aux1 == b.aux1 && a.aux2 == b.aux2 && a.aux3 == b.aux3 &&
               a.pose == b.pose && a.spawn_tag == b.spawn_tag && a.name == b.name && a.game_addr == b.game_addr &&
               a.chat_addr == b.chat_addr && a.acks == b.acks && a.last_heard == b.last_heard;
    }

    // After a stranger's datagram (and the rest of its pass): every player is as it was, or was removed
    // by the time-out sweep because it had been silent for too long.
    void settle_stranger() {
        if (!stranger_pending_) return;
        stranger_pending_ = false;
        for (std::size_t i = 0; i < stranger_before_.size(); ++i) {
            const auto& before = stranger_before_[i];
            const auto& now = s_.table[static_cast<std::int32_t>(i)];
            if (!before.occupied()) {
                FUZZ_CHECK(!now.occupied());
                continue;
            }
            if (now.id != before.id) {
                FUZZ_CHECK(!now.occupied() && clock_.now() > before.last_heard + game::kSilenceLimit);
                continue;
            }
            FUZZ_CHECK(same_player_state(now, before));
        }
    }

    bool is_game_addr_of_occupied(const net::Address& to) const {
        for (const auto& p : s_.table) {
            if (p.occupied() && p.game_addr.valid && p.game_addr == to) return true;
        }
        return false;
    }
    bool is_chat_addr_of(const net::Address& to, bool named_only) const {
        for (const auto& p : s_.table) {
            if (!p.occupied() || !p.chat_addr.valid || p.chat_addr != to) continue;
            if (named_only && !p.named()) continue;
            return true;
        }
        return false;
    }

    // A list of `count` entries of `entry` bytes after a header of `header` bytes, count in 0..MaxSlots.
    void check_list(std::span<const std::uint8_t> b, std::size_t count_at, std::size_t header, std::size_t entry) const {
        FUZZ_CHECK(b.size() >= header);
        const std::int32_t count = protocol::get_i32(b, count_at);
        FUZZ_CHECK(count >= 0 && count <= s_.table.size());
        FUZZ_CHECK(b.size() == header + entry * static_cast<std::size_t>(count));
    }

    void judge(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> b) {
        namespace p = protocol;
        ++judged_;
        FUZZ_CHECK(to.valid);
        FUZZ_CHECK(b.size() >= p::kHeaderSize && b.size() <= 32767 && b.size() <= s_.packet.size());
        FUZZ_CHECK(p::checksum_ok(b));
        const std::uint8_t type = b[p::kTypeAt];
        if (socket == net::Socket::Game) {
            // Only answers to a game datagram and the time-out sweep use the game socket.
            switch (type) {
                case p::game_out::SERVER_FULL:
                    FUZZ_CHECK(b.size() == 3);
                    FUZZ_CHECK(owed_.empty());
                    FUZZ_CHECK(event.active && event.socket == net::Socket::Game && event.type == p::game_in::JOIN);
                    FUZZ_CHECK(to == event.from);
                    // A full server, or a JOIN its source's limits refused (counted just before).
                    FUZZ_CHECK(s_.table.full() || s_.metrics.join_refusals.total() > join_refusals_before_);
                    return;
                case p::game_out::WELCOME:
                    check_list(b, p::welcome::kCount, p::welcome::kEntries, p::list::kBriefEntry);
                    FUZZ_CHECK(event.active && event.socket == net::Socket::Game && event.type == p::game_in::JOIN);
                    FUZZ_CHECK(to == event.from);
                    FUZZ_CHECK(owed_.empty());
                    welcomed_ = true;
                    break;
                case p::game_out::BRIEF_LIST:
                case p::game_out::DETAIL_LIST: {
                    const bool detailed = type == p::game_out::DETAIL_LIST;
                    check_list(b, p::list::kCount, p::list::kEntries, detailed ? p::list::kDetailEntry : p::list::kBriefEntry);
                    if (!detailed && (welcomed_ || owed_.empty())) {
                        // The list of everybody that follows a WELCOME, to every player, or the one held
                        // back for the joins of a busy second, sent when the next second begins.
                        FUZZ_CHECK(p::get_i32(b, p::list::kCount) == s_.table.player_count());
                        break;
                    }
                    // Otherwise the answer to the oldest STATE not yet answered.
                    FUZZ_CHECK(!owed_.empty());
                    const OwedAnswer want = owed_.front();
                    owed_.pop_front();
                    FUZZ_CHECK(to == want.to);
                    FUZZ_CHECK(p::get_i32(b, p::list::kCount) == want.others);
                    FUZZ_CHECK(detailed == want.detailed);
                    ++answers_matched_;
                    break;
                }
                case p::game_out::PLAYER_GONE:
                    FUZZ_CHECK(b.size() == p::id_only::kSize);
                    FUZZ_CHECK(owed_.empty());
                    break;
                default:
                    fail("unknown type sent on the game socket");
            }
            FUZZ_CHECK(is_game_addr_of_occupied(to));
            return;
        }
        // Chat socket: nothing is sent while a game datagram is handled, nor while a STATE is unanswered.
        FUZZ_CHECK(!(event.active && event.socket == net::Socket::Game));
        FUZZ_CHECK(owed_.empty());
        switch (type) {
            case p::chat_out::SLOTS_INFO:
            case p::chat_out::MAP_INFO:
                // The two answers go to the asker, and only to it.
                FUZZ_CHECK(event.active && event.socket == net::Socket::Chat && to == event.from);
                FUZZ_CHECK(event.type == (type == p::chat_out::SLOTS_INFO ? p::chat_in::ASK_SLOTS : p::chat_in::ASK_MAP));
                if (type == p::chat_out::SLOTS_INFO) {
                    FUZZ_CHECK(b.size() == p::slots_info::kSize);
                    FUZZ_CHECK(p::get_i32(b, p::slots_info::kSlots) == s_.settings.max_slots);
                } else {
                    FUZZ_CHECK(b.size() == p::map_info::kFixed + s_.settings.map_name.size());
                    FUZZ_CHECK(std::memcmp(b.data() + p::map_info::kMap, s_.settings.map_name.data(),
                                           s_.settings.map_name.size()) == 0);
                    FUZZ_CHECK(b.back() == 0);
                }
                return;
            case p::chat_out::NAME_LIST: {
                // Entries: id and a name of at most 31 bytes with its NUL, exactly filling the datagram.
                FUZZ_CHECK(b.size() >= p::text_msg::kText);
                const std::int32_t count = p::get_i32(b, p::text_msg::kId);
                FUZZ_CHECK(count >= 1 && count <= s_.table.size());
                std::size_t at = p::text_msg::kText;
                for (std::int32_t i = 0; i < count; ++i) {
                    FUZZ_CHECK(at + 5 <= b.size());
                    FUZZ_CHECK(p::get_i32(b, at) != 0);
                    const void* nul = std::memchr(b.data() + at + 4, 0, b.size() - at - 4);
                    FUZZ_CHECK(nul != nullptr);
                    const std::size_t len = static_cast<const std::uint8_t*>(nul) - (b.data() + at + 4);
                    FUZZ_CHECK(len >= 1 && len <= p::kNameField - 1);
                    at += 4 + len + 1;
                }
                FUZZ_CHECK(at == b.size());
                FUZZ_CHECK(is_chat_addr_of(to, true));
                return;
            }
            case p::chat_out::CHAT_OUT:
                // Relayed whole: the text's NUL lies within, not necessarily at the end.
                FUZZ_CHECK(b.size() >= p::text_msg::kText + 1);
                FUZZ_CHECK(std::memchr(b.data() + p::text_msg::kText, 0, b.size() - p::text_msg::kText) != nullptr);
                FUZZ_CHECK(b.size() <= p::kChatReadLimit || b.size() == p::text_msg::kText + s_.settings.loop_msg.size() + 1);
                FUZZ_CHECK(is_chat_addr_of(to, true));
                return;
            case p::chat_out::WHISPER_OUT:
                FUZZ_CHECK(b.size() >= p::text_msg::kText + 1 && b.size() <= p::kChatReadLimit - 4);
                FUZZ_CHECK(std::memchr(b.data() + p::text_msg::kText, 0, b.size() - p::text_msg::kText) != nullptr);
                FUZZ_CHECK(is_chat_addr_of(to, false));
                return;
            case p::chat_out::HIT_NOTICE:
                FUZZ_CHECK(b.size() == p::hit_notice::kSize && p::get_i16(b, p::hit_notice::kDelta) < 0);
                FUZZ_CHECK(to != event.from);
                FUZZ_CHECK(is_chat_addr_of(to, false));
                return;
            case p::chat_out::RESPAWN_OUT:
            case p::chat_out::EVENT_BYTE_OUT:
                FUZZ_CHECK(b.size() == 8);
                FUZZ_CHECK(is_chat_addr_of(to, true));
                return;
            case p::chat_out::EVENT_WORD_OUT:
                FUZZ_CHECK(b.size() == 11);
                FUZZ_CHECK(is_chat_addr_of(to, true));
                return;
            case p::chat_out::EVENT_ALL_OUT:
                FUZZ_CHECK(b.size() == 8);
                FUZZ_CHECK(is_chat_addr_of(to, false));
                return;
            default:
                fail("unknown type sent on the chat socket");
        }
    }

    const core::ServerState& s_;
    net::Clock& clock_;
    std::uint64_t join_refusals_before_ = 0;
    std::vector<protocol::PlayerSlot> stranger_before_;
    bool stranger_pending_ = false;
    std::deque<OwedAnswer> owed_;
    bool welcomed_ = false;  // a WELCOME went out for the datagram being handled
    std::size_t judged_ = 0;
    std::size_t answers_matched_ = 0;
    int blocks_ = 0;  // would-blocks since the event began
};

// The slot table's invariants: the count matches the occupied slots, ids are distinct, positive and
// never above the last id given, names end within their field, free slots keep no name and no chat
// address, occupied slots have the address they joined from.
inline void check_table(const core::ServerState& s) {
    const auto& t = s.table;
    FUZZ_CHECK(t.last_id() >= 0);
    std::int32_t occupied = 0;
    for (std::int32_t i = 0; i < t.size(); ++i) {
        const auto& p = t[i];
        FUZZ_CHECK(std::memchr(p.name.data(), 0, p.name.size()) != nullptr);
        if (!p.occupied()) {
            FUZZ_CHECK(p.name[0] == '\0');
            FUZZ_CHECK(!p.chat_addr.valid);
            continue;
        }
        ++occupied;
        FUZZ_CHECK(p.id > 0 && p.id <= t.last_id());
        FUZZ_CHECK(p.game_addr.valid);
        for (std::int32_t j = i + 1; j < t.size(); ++j) FUZZ_CHECK(t[j].id != p.id);
    }
    FUZZ_CHECK(occupied == t.player_count());
    FUZZ_CHECK(occupied <= t.size());
}

}  // namespace quarel::fuzz
