// End-to-end helpers: the real quarel-server binary in a temporary directory, and a loopback UDP client.
// Every wait is bounded in time.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fakes.h"

namespace quarel::testing {

// The next datagram on `fd`, or nothing within `timeout_ms`.
inline std::optional<Bytes> receive_datagram(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
    Bytes buf(65536);
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

// Kills a child that may still run, reaps it, and removes its temporary directory.
inline void kill_and_remove(pid_t pid, const std::filesystem::path& dir) {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// A UDP socket on a loopback address (127.0.0.1 unless told otherwise: any 127/8 address may play
// another host) with an ephemeral port.
class UdpClient {
public:
    explicit UdpClient(std::uint32_t host = INADDR_LOOPBACK) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(host);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    }
    ~UdpClient() { ::close(fd_); }
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    std::uint16_t port() const {
        sockaddr_in sin{};
        socklen_t len = sizeof sin;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
        return ntohs(sin.sin_port);
    }

    void send_to(std::uint16_t port, const Bytes& bytes) const {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sin.sin_port = htons(port);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    }

    // The next datagram, or nothing within `timeout_ms`.
    std::optional<Bytes> receive(int timeout_ms = 2000) const {
        return receive_datagram(fd_, timeout_ms);
    }

    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Runs `args` (argv[0] a path) in `dir` with stdout and stderr going to the files named.
inline pid_t spawn(const std::filesystem::path& dir, std::vector<std::string> args, const std::string& out_path,
                   const std::string& err_path) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) _exit(127);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = err_path == out_path ? out : ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits (bounded) for `pid` to end: its wait status, or -1 on time-out.
inline int wait_exit(pid_t pid, int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A UDP port that was free a moment ago.
inline std::uint16_t free_udp_port() {
    UdpClient probe;
    return probe.port();
}

// The server binary running in its own temporary directory, stdout captured to a file. Killed on
// destruction.
class ServerProcess {
public:
    // With `fixed_ports` the server is started without arguments (ports 4173 and 4174); otherwise on two
    // free ports passed with --chat-port and --game-port.
    explicit ServerProcess(const std::string& config_text = "", bool fixed_ports = false,
                           std::vector<std::string> extra_args = {}) {
        char tmpl[] = "/tmp/quarel-e2e-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        if (!config_text.empty()) std::ofstream(dir_ / "config", std::ios::binary) << config_text;
        std::vector<std::string> args{QUAREL_SERVER_BIN};
        if (fixed_ports) {
            chat_port = 4173;
            game_port = 4174;
        } else {
            chat_port = free_udp_port();
            game_port = free_udp_port();
            while (game_port == chat_port) game_port = free_udp_port();
            args.insert(args.end(), {"--chat-port", std::to_string(chat_port), "--game-port", std::to_string(game_port)});
        }
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        const std::string out_path = (dir_ / "stdout.txt").string();
        pid = spawn(dir_, std::move(args), out_path, out_path);
        wait_for_output(" Initial time: ", 5000);
        // The sockets open right after the banner.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    ~ServerProcess() { kill_and_remove(pid, dir_); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::string output() const { return read_file(dir_ / "stdout.txt"); }

    // Waits until stdout contains `needle`; false after `timeout_ms`.
    bool wait_for_output(const std::string& needle, int timeout_ms = 2000) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < until) {
            if (output().find(needle) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return output().find(needle) != std::string::npos;
    }

    // Sends `sig` and waits (bounded) for the exit; returns the wait status, or -1 on time-out.
    int stop(int sig, int timeout_ms = 5000) {
        ::kill(pid, sig);
        const int status = wait_exit(pid, timeout_ms);
        if (status != -1) pid = -1;
        return status;
    }

    const std::filesystem::path& dir() const { return dir_; }

    pid_t pid = -1;
    std::uint16_t chat_port = 0;
    std::uint16_t game_port = 0;

private:
    std::filesystem::path dir_;
};

// A short-lived program in its own temporary directory, stdout and stderr to separate files. Killed on
// destruction if still running.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> args) {
        char tmpl[] = "/tmp/quarel-child-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        pid_ = spawn(dir_, std::move(args), (dir_ / "out").string(), (dir_ / "err").string());
    }
    ~ChildProcess() { kill_and_remove(pid_, dir_); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The exit status (128 + signal when killed), or -1 when it has not ended within `timeout_ms`.
    int finish(int timeout_ms = 10000) {
        const int status = wait_exit(pid_, timeout_ms);
        if (status == -1) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string out() const { return read_file(dir_ / "out"); }
    std::string err() const { return read_file(dir_ / "err"); }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::filesystem::path dir_;
};

}  // namespace quarel::testing
