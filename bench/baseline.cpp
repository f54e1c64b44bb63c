// The baseline server.
#include "baseline.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/udp_transport.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::bench {

using namespace protocol;

BaselineReplies::BaselineReplies(std::int32_t max_slots, bool checksums)
    : max_slots_(max_slots),
      checksums_(checksums),
      welcome_(welcome::kEntries + list::kBriefEntry * static_cast<std::size_t>(max_slots), 0),
      list_(list::kEntries, 0),
      slots_info_(slots_info::kSize, 0) {
    put_u8(list_, kTypeAt, game_out::DETAIL_LIST);
    seal(list_, list_.size());
    put_u8(slots_info_, kTypeAt, chat_out::SLOTS_INFO);
    put_i32(slots_info_, slots_info::kSlots, max_slots);
    seal(slots_info_, slots_info_.size());
}

std::span<const std::uint8_t> BaselineReplies::answer(std::span<const std::uint8_t> in) {
    if (in.size() < kHeaderSize || (checksums_ && !checksum_ok(in))) return {};
    switch (in[kTypeAt]) {
        case game_in::STATE:
            if (in.size() < state::kSize) return {};
            if (checksums_) seal(list_, list_.size());
            return list_;
        case game_in::JOIN: {
            if (in.size() < join::kSize) return {};
            if (players_ >= max_slots_) return {};
            ++players_;
            const std::size_t n = welcome::kEntries + list::kBriefEntry * static_cast<std::size_t>(players_ - 1);
            put_u8(welcome_, kTypeAt, game_out::WELCOME);
            put_i32(welcome_, welcome::kId, players_);
            put_i32(welcome_, welcome::kCount, players_ - 1);
            seal(welcome_, n);
            // The list every later STATE gets: one zeroed detail entry per other player.
            list_.assign(list::kEntries + list::kDetailEntry * static_cast<std::size_t>(players_ - 1), 0);
            put_u8(list_, kTypeAt, game_out::DETAIL_LIST);
            put_i32(list_, list::kCount, players_ - 1);
            seal(list_, list_.size());
            return std::span<const std::uint8_t>(welcome_).first(n);
        }
        case chat_in::ASK_SLOTS:
            return slots_info_;
        default:
            return {};
    }
}

namespace {

// The same kind of socket the server opens: IPv6 dual-stack on all interfaces, and on the game port
// the same receive queue.
int open_socket(std::uint16_t port, bool game) {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_any;
    sin6.sin6_port = htons(port);
    if (game) {
        const int size = platform::UdpTransport::kGameReceiveBuffer;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int run_baseline_server(std::uint16_t chat_port, std::uint16_t game_port, std::int32_t max_slots, bool checksums) {
    const int chat = open_socket(chat_port, false);
    const int game = open_socket(game_port, true);
    if (chat < 0 || game < 0) {
        std::fprintf(stderr, "baseline: cannot bind %u/%u\n", chat_port, game_port);
        return 1;
    }
    BaselineReplies replies(max_slots, checksums);
    std::vector<std::uint8_t> buf(kBytesPerSlot * static_cast<std::size_t>(std::max(max_slots, 1)));
    // Probes come first, on the chat socket; once the game socket has had traffic only it is read, with
    // one blocking receive and one send per datagram.
    bool game_started = false;
    for (;;) {
        const int fd = game_started ? game : [&] {
            pollfd p[2] = {{chat, POLLIN, 0}, {game, POLLIN, 0}};
            ::poll(p, 2, -1);
            return (p[1].revents & POLLIN) ? game : chat;
        }();
        sockaddr_in6 from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) continue;
        if (fd == game) game_started = true;
        const auto reply = replies.answer(std::span<const std::uint8_t>(buf).first(static_cast<std::size_t>(n)));
        if (reply.empty()) continue;
        ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

}  // namespace quarel::bench
