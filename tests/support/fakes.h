// Test doubles: a transport that queues inbound datagrams and records every send, a hand-set clock,
// and helpers to build sealed datagrams from hex text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/console.h"
#include "core/server_state.h"
#include "net/transport.h"
#include "protocol/crc16.h"
#include "server/loop.h"

namespace quarel::testing {

using Bytes = std::vector<std::uint8_t>;

// "36 81 06" or "368106" -> bytes. Anything but hex digits is ignored.
inline Bytes hex(std::string_view text) {
    Bytes out;
    int nibble = -1;
    for (const char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(nibble << 4 | v));
            nibble = -1;
        }
    }
    return out;
}

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// Prepends a correct checksum to type-and-body bytes.
inline Bytes sealed(const Bytes& type_and_body) {
    const std::uint16_t crc = protocol::crc16(type_and_body);
    Bytes out(type_and_body.size() + 2);
    out[0] = static_cast<std::uint8_t>(crc & 0xFF);
    out[1] = static_cast<std::uint8_t>(crc >> 8);
    std::copy(type_and_body.begin(), type_and_body.end(), out.begin() + 2);
    return out;
}
inline Bytes sealed_hex(std::string_view type_and_body) { return sealed(hex(type_and_body)); }

inline net::Address addr(std::uint8_t last, std::uint16_t port) { return net::Address::ipv4(10, 0, 0, last, port); }

inline core::Settings with_slots(std::int32_t n) {
    core::Settings s;
    s.max_slots = n;
    return s;
}

// Every settings field on one line, so that whole records compare with a readable difference.
inline std::string describe(const core::Settings& s) {
    char nums[256];
    std::snprintf(nums, sizeof nums, "slots=%d pos=%.9g,%.9g,%.9g time=%d:%d loop_time=%d public=%d", s.max_slots,
                  static_cast<double>(s.start_x), static_cast<double>(s.start_y), static_cast<double>(s.start_z),
                  s.start_hour, s.start_minute, s.loop_time, s.public_listing);
    return std::string(nums) + " name=[" + s.server_name + "] map=[" + s.map_name + "] loop_msg=[" + s.loop_msg +
           "] lobby=[" + s.lobby_host + "]";
}

struct Sent {
    net::Socket socket;
    net::Address to;
    Bytes bytes;
};

class FakeTransport final : public net::Transport {
public:
    struct Inbound {
        Bytes bytes;
        net::Address from;
    };

    void queue(net::Socket socket, Bytes bytes, net::Address from) {
        inbound_[static_cast<int>(socket)].push_back({std::move(bytes), from});
    }
    void queue_game(Bytes bytes, net::Address from) { queue(net::Socket::Game, std::move(bytes), from); }
    void queue_chat(Bytes bytes, net::Address from) { queue(net::Socket::Chat, std::move(bytes), from); }
    std::size_t pending(net::Socket socket) const { return inbound_[static_cast<int>(socket)].size(); }

    // The next `n` send attempts report would-block (each counted in `attempts`).
    void block_next(int n) { block_ = n; }
    // The next `n` send attempts fail.
    void fail_next(int n) { fail_ = n; }

    std::size_t receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) override {
        auto& q = inbound_[static_cast<int>(socket)];
        while (!q.empty()) {
            Inbound in = std::move(q.front());
            q.pop_front();
            if (in.bytes.size() > buf.size()) continue;  // oversized: discarded whole
            std::copy(in.bytes.begin(), in.bytes.end(), buf.begin());
            from = in.from;
            return in.bytes.size();
        }
        return 0;
    }

    net::SendResult send(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) override {
        ++attempts;
        if (block_ > 0) {
            --block_;
            return net::SendResult::WouldBlock;
        }
        if (fail_ > 0) {
            --fail_;
            return net::SendResult::Failed;
        }
        sent.push_back({socket, to, Bytes(bytes.begin(), bytes.end())});
        return net::SendResult::Accepted;
    }

    std::vector<Sent> take() {
        std::vector<Sent> out;
        out.swap(sent);
        return out;
    }

    std::vector<Sent> sent;
    int attempts = 0;

private:
    std::deque<Inbound> inbound_[2];
    int block_ = 0;
    int fail_ = 0;
};

class ManualClock final : public net::Clock {
public:
    explicit ManualClock(std::int64_t start = 1'000'000) : now_(start) {}
    std::int64_t now() override { return now_; }
    void sleep_ms(int ms) override { slept_ms += ms; }
    void set(std::int64_t t) { now_ = t; }
    void advance(std::int64_t seconds) { now_ += seconds; }
    int slept_ms = 0;

private:
    std::int64_t now_;
};

// A server state with its fakes, ready to run handlers or passes.
struct Harness {
    explicit Harness(const core::Settings& settings = core::Settings{}) : state(settings) {}
    core::ServerState state;
    FakeTransport net;
    ManualClock clock;
    core::StringConsole out;
    server::LoopIo io{net, clock, out};
};

}  // namespace quarel::testing
