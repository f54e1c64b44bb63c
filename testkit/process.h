// The built programs run as child processes, and a loopback UDP client to talk to them. Every wait is
// bounded in time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"

namespace quarel::testkit {

// The whole file, or "" when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// Whether a socket can be bound to the IPv6 loopback address (::1) on this machine.
bool have_ipv6_loopback();

// quarel-server beside the running program (every executable lands at the top of the build directory).
std::string server_binary();
// The file `name` beside the running program.
std::string beside_self(const std::string& name);

// A program running in a fresh temporary directory (its working directory), stdout and stderr captured
// to files there (one file for both unless `separate_stderr`). The destructor stops it and removes the
// directory.
class Process {
public:
    // `config`, when not empty, is written to the file `config` in the directory first. `in_child`, when
    // given, runs in the child after its working directory and output are set and before the program
    // starts (to change its root or user, say); false from it ends the child with status 126.
    explicit Process(std::vector<std::string> argv, const std::string& config = "", bool separate_stderr = false,
                     const std::function<bool()>& in_child = nullptr);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    const std::filesystem::path& dir() const { return dir_; }
    bool running();
    std::string output() const;  // stdout (with stderr unless separate)
    std::string err() const;     // stderr when separate
    // Waits until the output contains `needle`; false after `timeout_ms`.
    bool wait_for_output(const std::string& needle, int timeout_ms = 2000) const;

    // Waits for the exit and reaps it: the exit status, 128 + the signal that ended it, or -1 when it
    // still runs after `timeout_ms`.
    int finish(int timeout_ms = 10'000);
    // The peak resident size of the program in KiB, known once finish() has reaped it (0 before).
    long peak_rss_kib() const { return peak_rss_kib_; }
    // Sends `sig`, then waits `grace_ms` for the exit; a program still running then is killed. Returns
    // what finish() does, 128 + SIGKILL for a program that had to be killed.
    int stop(int sig, int grace_ms = 5000);

private:
    pid_t pid_ = -1;
    std::filesystem::path dir_;
    bool separate_;
    long peak_rss_kib_ = 0;
};

struct Ports {
    std::uint16_t chat = 0;
    std::uint16_t game = 0;
};
// Two UDP ports that were free a moment ago, distinct.
Ports free_ports();
// Whether the process `pid` has UDP sockets bound to both ports (read from /proc: its descriptors and
// the UDP tables of its network namespace).
bool holds_udp_ports(pid_t pid, Ports ports);

// A server running on two UDP ports. Ready once the process itself holds both ports, learnt from /proc
// without sending it a datagram, so that nothing shows on its console or counts against a rate limit.
class ServerProcess : public Process {
public:
    // quarel-server with `config` in its working directory (none when empty) and `args` after the port
    // options: on two free ports (--chat-port, --game-port), or on its own 4173 and 4174.
    explicit ServerProcess(const std::string& config = "", const std::vector<std::string>& args = {}, bool fixed_ports = false);
    // Any program that binds the two ports it is given in `argv` (another build of the server, the
    // benchmark's baseline); `in_child` as for Process.
    ServerProcess(std::vector<std::string> argv, Ports ports, const std::string& config = "",
                  const std::function<bool()>& in_child = nullptr);
    // argv for quarel-server at `binary` on `ports`.
    static std::vector<std::string> server_argv(const std::string& binary, Ports ports);

    // Whether both ports were bound within the bound of start-up (5 s).
    bool ready() const { return ready_; }
    Ports ports;
    std::uint16_t chat_port() const { return ports.chat; }
    std::uint16_t game_port() const { return ports.game; }

private:
    ServerProcess(const std::string& config, const std::vector<std::string>& args, Ports ports, bool fixed_ports);
    bool ready_ = false;
};

// The server with its status listener on a free port of 127.0.0.1 (or wherever `http` says), learnt
// from its start-up line; `port` 0 when the listener did not start within 5 s.
struct StatusServer {
    explicit StatusServer(const std::string& config = "", const std::string& http = "127.0.0.1:0");
    ServerProcess server;
    std::string host_port;  // as the start-up line gives it: "127.0.0.1:8080", "[::1]:8080"
    std::uint16_t port = 0;
};

// The first of `candidates` that is an executable file, or "".
std::string which(const std::vector<std::string>& candidates);

// The next datagram on `fd`, or nothing within `timeout_ms`.
std::optional<Bytes> receive_datagram(int fd, int timeout_ms);

// A UDP socket bound to `ip` (IPv4, an ephemeral port) that sends to 127.0.0.1.
class UdpClient {
public:
    explicit UdpClient(const char* ip = "127.0.0.1");
    ~UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    bool ok() const { return ok_; }
    int fd() const { return fd_; }
    std::uint16_t port() const;
    void send_to(std::uint16_t port, std::span<const std::uint8_t> bytes) const;
    // The next datagram, or nothing within `timeout_ms` (0: only one already waiting).
    std::optional<Bytes> receive(int timeout_ms = 2000) const { return receive_datagram(fd_, timeout_ms); }

private:
    int fd_ = -1;
    bool ok_ = false;
};

// Players who go on playing: `beat` (a STATE from each, say) runs every 0.5 s on a thread of its own,
// for 2 minutes at most, until stop() or the end of the scope. Steps of a test that take a while on a
// busy machine (a browser's) would otherwise outlast the 10 s a player may stay silent.
class KeepPlaying {
public:
    explicit KeepPlaying(std::function<void()> beat);
    ~KeepPlaying() { stop(); }
    KeepPlaying(const KeepPlaying&) = delete;
    KeepPlaying& operator=(const KeepPlaying&) = delete;
    void stop();

private:
    std::atomic<bool> on_ = true;
    std::thread thread_;
};

// Joins `server` on the game socket with health 100 and names the player on the chat socket; the id,
// or -1 when no WELCOME came.
std::int32_t join_named(const ServerProcess& server, const UdpClient& game, const UdpClient& chat, const std::string& name);
// A STATE of player `id`, sealed.
Bytes state_of(std::int32_t id);

}  // namespace quarel::testkit
