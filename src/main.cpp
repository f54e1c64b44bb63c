// quarel-server: wires settings, sockets, clock and console together and runs the loop.
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "core/banner.h"
#include "core/console.h"
#include "core/loop.h"
#include "core/server_state.h"
#include "core/settings.h"
#include "net/system_clock.h"
#include "net/udp_transport.h"
#include "protocol/messages.h"

using namespace quarel;

namespace {

struct Options {
    std::string config_path = "config";
    std::uint16_t chat_port = protocol::kChatPort;
    std::uint16_t game_port = protocol::kGamePort;
};

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: quarel-server [--config PATH] [--chat-port N] [--game-port N]\n"
                 "       quarel-server --help | --version\n"
                 "Reads PATH (default: ./config), listens on UDP 4173 (chat) and 4174 (game).\n");
}

bool parse_port(const char* text, std::uint16_t& out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 65535) return false;
    out = static_cast<std::uint16_t>(v);
    return true;
}

// Returns -1 to go on, or the exit status.
int parse_args(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("quarel-server %s\n", QUAREL_VERSION);
            return 0;
        }
        if (arg == "--config" && has_value) {
            opt.config_path = argv[++i];
        } else if (arg == "--chat-port" && has_value && parse_port(argv[i + 1], opt.chat_port)) {
            ++i;
        } else if (arg == "--game-port" && has_value && parse_port(argv[i + 1], opt.game_port)) {
            ++i;
        } else {
            usage(stderr);
            return 2;
        }
    }
    return -1;
}

// Waits until either socket is readable or the calendar second `deadline` has begun.
void wait_for_work(const net::UdpTransport& udp, std::int64_t deadline) {
    pollfd fds[2] = {{udp.fd(net::Socket::Chat), POLLIN, 0}, {udp.fd(net::Socket::Game), POLLIN, 0}};
    int timeout = -1;
    if (deadline != std::numeric_limits<std::int64_t>::max()) {
        // A few ms past the second's start, so that time() has surely moved on when we wake.
        const std::int64_t ms = net::SystemClock::ms_until_second(deadline) + 5;
        timeout = static_cast<int>(std::min<std::int64_t>(ms, 60'000));
    }
    poll(fds, 2, timeout);
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (const int status = parse_args(argc, argv, opt); status >= 0) return status;

    core::StdoutConsole console;
    core::Settings settings;
    core::load_config_file(settings, opt.config_path);
    if (auto note = core::clamp_max_slots(settings)) console.write(*note);
    core::ServerState state(settings);
    console.write(core::banner(state.settings));

    if (!net::UdpTransport::network_available()) {
        console.write("Failed init network!\n");
        return 1;
    }
    net::UdpTransport udp;
    if (!udp.open(net::Socket::Chat, opt.chat_port)) console.write("I won't listen chat!\n");
    if (!udp.open(net::Socket::Game, opt.game_port)) console.write("I won't listen anyone!\n");

    net::SystemClock clock;
    core::Io io{udp, clock, console, nullptr};
    for (;;) {
        if (core::run_pass(state, io)) continue;
        wait_for_work(udp, core::next_deadline(state, io));
    }
}
