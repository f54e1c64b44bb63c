// Starting and stopping the server under test.
#include "child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "protocol/framing.h"
#include "protocol/messages.h"

namespace quarel::bench {

const char* kind_name(Kind k) { return k == Kind::Real ? "server" : "baseline"; }

namespace {

std::uint16_t free_port(int& keep_fd) {
    keep_fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    int off = 0;
    setsockopt(keep_fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_any;
    ::bind(keep_fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6);
    socklen_t len = sizeof sin6;
    getsockname(keep_fd, reinterpret_cast<sockaddr*>(&sin6), &len);
    return ntohs(sin6.sin6_port);
}

// Sends ASK_SLOTS to the chat port and waits for any answer: the server has bound and reads.
bool probe(std::uint16_t chat_port, int timeout_ms) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(chat_port);
    std::array<std::uint8_t, protocol::kHeaderSize> ask{};
    ask[protocol::kTypeAt] = protocol::chat_in::ASK_SLOTS;
    protocol::seal(ask, ask.size());
    bool answered = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!answered && std::chrono::steady_clock::now() < until) {
        ::sendto(fd, ask.data(), ask.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            std::array<std::uint8_t, 64> buf{};
            answered = ::recv(fd, buf.data(), buf.size(), 0) > 0;
        }
    }
    ::close(fd);
    return answered;
}

}  // namespace

Ports free_ports() {
    int a = -1, b = -1;
    Ports p;
    p.chat = free_port(a);
    p.game = free_port(b);
    ::close(a);
    ::close(b);
    return p;
}

std::string self_exe() {
    std::array<char, 4096> buf{};
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
}

ServerChild::ServerChild(Kind kind, const std::string& real_binary, Ports ports, std::int32_t max_slots,
                         const std::vector<std::string>& extra_args)
    : kind_(kind), ports_(ports) {
    char tmpl[] = "/tmp/quarel-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    std::ofstream(dir_ / "config") << "slots " << max_slots << "\n";
    std::vector<std::string> args;
    if (kind == Kind::Real) {
        args = {real_binary, "--chat-port", std::to_string(ports.chat), "--game-port", std::to_string(ports.game)};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
    } else {
        args = {self_exe(), "--baseline-server", std::to_string(ports.chat), std::to_string(ports.game),
                std::to_string(max_slots)};
    }
    const std::string out_path = (dir_ / "stdout.txt").string();
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(dir_.c_str()) != 0) _exit(127);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ready_ = pid_ > 0 && probe(ports.chat, 5000);
}

ServerChild::~ServerChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string ServerChild::output() const {
    std::ifstream in(dir_ / "stdout.txt", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace quarel::bench
